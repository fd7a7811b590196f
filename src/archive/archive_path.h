#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace kv::archive {

// Joins the pieces with one "/" between consecutive pieces and none after the
// last. Nothing is normalised: a piece that already ends in "/" gives a
// doubled separator, an empty last piece a trailing "/".
[[nodiscard]] std::string joinArchivePath(std::initializer_list<std::string_view> pieces);

// Whether name may be used as the stored name of a file entry, both when an
// archive is written and when it is extracted. A safe name is a relative
// path of one or more segments joined by "/": no segment is empty, "." or
// "..", ends in a dot or a space, or is a reserved device name of Windows
// ("CON", "nul.txt", "COM1", ...); the name holds no NUL or other control
// character, no backslash and no colon. A name ending in "/" (a folder entry)
// is therefore not safe either. The same rule holds on every platform, so an
// archive behaves alike wherever it is extracted.
[[nodiscard]] bool isSafeEntryName(std::string_view name);

// Why name is not a safe entry name (see isSafeEntryName), as a clause that
// can follow it: "it holds ':'", "'CON.txt' is the device CON on Windows";
// "" when it is safe. The first broken rule is named.
[[nodiscard]] std::string entryNameProblem(std::string_view name);

}  // namespace kv::archive
