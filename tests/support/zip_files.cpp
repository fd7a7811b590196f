#include "support/zip_files.h"

#include <zip.h>

#include <filesystem>
#include <stdexcept>

namespace kv::test {

void writeZip(const std::string& path, const std::vector<ZipItem>& items) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent);
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (archive == nullptr) throw std::runtime_error("zip_open " + path);
  for (const ZipItem& item : items) {
    // Guessed: UTF-8 names get the UTF-8 flag, and names with control
    // characters (which libzip refuses as declared UTF-8) are still written.
    const zip_flags_t encoding = item.cp437 ? ZIP_FL_ENC_CP437 : ZIP_FL_ENC_GUESS;
    zip_int64_t index = -1;
    zip_source_t* source = nullptr;
    if (!item.name.empty() && item.name.back() == '/') {
      index = zip_dir_add(archive, item.name.c_str(), encoding);
    } else {
      // libzip reads the buffer when the archive is closed; items outlive that.
      source = zip_source_buffer(archive, item.data.data(), item.data.size(), 0);
      index = source == nullptr ? -1 : zip_file_add(archive, item.name.c_str(), source, encoding);
    }
    if (index < 0) {
      if (source != nullptr) zip_source_free(source);
      zip_discard(archive);
      throw std::runtime_error("zip_file_add " + item.name);
    }
    if (item.symlink) {
      zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX, 0120777u << 16);
    }
  }
  if (zip_close(archive) != 0) {
    zip_discard(archive);
    throw std::runtime_error("zip_close " + path);
  }
}

std::map<std::string, std::string> readZip(const std::string& path) {
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, &error);
  if (archive == nullptr) throw std::runtime_error("zip_open " + path);
  std::map<std::string, std::string> entries;
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t st;
    zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &st);
    std::string data(static_cast<std::size_t>(st.size), '\0');
    zip_file_t* file = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
    if (file == nullptr) {
      zip_discard(archive);
      throw std::runtime_error("zip_fopen_index");
    }
    zip_fread(file, data.data(), data.size());
    zip_fclose(file);
    entries[st.name] = data;
  }
  zip_discard(archive);
  return entries;
}

}  // namespace kv::test
