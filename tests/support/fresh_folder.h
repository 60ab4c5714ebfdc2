#pragma once
// A fresh folder under the temporary folder, removed with everything in it at the end.
#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "win/owners.h"

namespace kv::test {

inline void remove_tree(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  kv::unique_find search(FindFirstFileW((path + L"\\*").c_str(), &found));
  if (search) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring full = path + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(full);
      } else {
        SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(full.c_str());
      }
    } while (FindNextFileW(search.get(), &found));
  }
  search.reset();  // the open search would keep the folder
  RemoveDirectoryW(path.c_str());
}

class fresh_folder {
 public:
  // Named `prefix`, the process id and a counter. Throws std::runtime_error when it cannot be made.
  explicit fresh_folder(const wchar_t* prefix) {
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    path_ = std::wstring(temp) + prefix + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
    remove_tree(path_);
    if (!CreateDirectoryW(path_.c_str(), nullptr)) throw std::runtime_error("cannot make a temporary folder");
  }
  ~fresh_folder() { remove_tree(path_); }
  fresh_folder(const fresh_folder&) = delete;
  fresh_folder& operator=(const fresh_folder&) = delete;

  const std::wstring& path() const { return path_; }
  const wchar_t* c_str() const { return path_.c_str(); }

 private:
  std::wstring path_;
};

}  // namespace kv::test
