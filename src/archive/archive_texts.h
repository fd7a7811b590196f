#pragma once

#include <string>
#include <string_view>

namespace kv::archive {

// The failure texts of the archive object. Callers drop them or print them
// after "Error while zipping: "; tests compare them exactly.
inline constexpr std::string_view kBadZip = "bad zip";
inline constexpr std::string_view kNoEndRecord = "didn't find end of central directory signature";
inline constexpr std::string_view kEntryUnreadable = "file couldn't be read";
inline constexpr std::string_view kOpenForWritingFailed = "Failed to open file for writing: ";
inline constexpr std::string_view kWriteToFileFailed = "Failed to write to file: ";
inline constexpr std::string_view kWriteError = "write error";
inline constexpr std::string_view kNotEnoughSpace = "Not enough disk space to extract into: ";

// The line prefix that createZipArchive writes to standard error on failure.
inline constexpr std::string_view kZippingErrorPrefix = "Error while zipping: ";

// The image of a ZIP archive without entries: the 22-byte end record alone.
inline const std::string kEmptyArchiveImage{"PK\x05\x06" + std::string(18, '\0')};

}  // namespace kv::archive
