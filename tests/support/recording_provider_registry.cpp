// The out-of-process side of the recording provider: script and record through the registry key
// and the record file described in recording_provider.h.
#include <cstring>
#include <string>
#include <utility>

#include "tests/support/recording_provider.h"
#include "win/owners.h"

namespace kv::test {

namespace {

constexpr const wchar_t* result_suffix = L".result";
constexpr const wchar_t* text_suffix = L".text";
constexpr const wchar_t* record_value = L"RecordFile";
constexpr const wchar_t* type_value = L"GetType.value";

// The operation name in front of `suffix`, or an empty text when `name` does not end with it.
std::wstring operation_of(const std::wstring& name, const wchar_t* suffix) {
  const std::wstring tail(suffix);
  if (name.size() <= tail.size() || name.compare(name.size() - tail.size(), tail.size(), tail) != 0) return {};
  return name.substr(0, name.size() - tail.size());
}

// Appends whole lines to the record file; opened per line so that several instances and
// processes can write to one file.
class file_journal final : public provider_journal {
 public:
  explicit file_journal(std::wstring path) : path_(std::move(path)) {}

  void record(const recorded_call& call) override { append(call.line()); }
  void instance_created() override { append(L"created"); }
  void instance_destroyed() override { append(L"destroyed"); }
  void certificate_at_release(const std::wstring& certificate) override {
    append(L"released holding " + certificate);
  }

 private:
  void append(std::wstring line) {
    if (path_.empty()) return;
    line += L"\r\n";
    kv::unique_file file(CreateFileW(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
  }

  std::wstring path_;
};

}  // namespace

LONG store_script(const provider_script& script, const std::wstring& record_file) {
  clear_script();
  kv::unique_hkey key;
  LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, recording_provider_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                key.put(), nullptr);
  if (status != ERROR_SUCCESS) return status;
  if (!record_file.empty()) {
    status = RegSetValueExW(key.get(), record_value, 0, REG_SZ, reinterpret_cast<const BYTE*>(record_file.c_str()),
                            static_cast<DWORD>((record_file.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS) return status;
  }
  for (const auto& [operation, result] : script.results) {
    const DWORD value = static_cast<DWORD>(result);
    status = RegSetValueExW(key.get(), (operation + result_suffix).c_str(), 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&value), sizeof value);
    if (status != ERROR_SUCCESS) return status;
  }
  for (const auto& [operation, text] : script.texts) {
    const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    status = RegSetValueExW(key.get(), (operation + text_suffix).c_str(), 0, REG_BINARY,
                            reinterpret_cast<const BYTE*>(text.data()), bytes);
    if (status != ERROR_SUCCESS) return status;
  }
  const DWORD type = script.type;
  return RegSetValueExW(key.get(), type_value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof type);
}

void clear_script() noexcept { RegDeleteTreeW(HKEY_CURRENT_USER, recording_provider_key); }

std::vector<std::wstring> read_record_file(const std::wstring& path) {
  std::vector<std::wstring> lines;
  kv::unique_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return lines;
  std::wstring content;
  wchar_t buffer[1024];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    content.append(buffer, got / sizeof(wchar_t));
  }
  std::size_t start = 0;
  for (std::size_t end; (end = content.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
    lines.push_back(content.substr(start, end - start));
  }
  return lines;
}

std::shared_ptr<provider_journal> load_registry_journal() {
  kv::unique_hkey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, recording_provider_key, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
    return std::make_shared<file_journal>(std::wstring());
  }
  std::wstring record_file;
  provider_script script;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD name_length = 256;
    DWORD kind = 0;
    DWORD size = 0;
    if (RegEnumValueW(key.get(), index, name, &name_length, nullptr, &kind, nullptr, &size) != ERROR_SUCCESS) break;
    std::wstring data((size + sizeof(wchar_t) - 1) / sizeof(wchar_t), L'\0');
    if (RegQueryValueExW(key.get(), name, nullptr, &kind, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS) {
      continue;
    }
    data.resize(size / sizeof(wchar_t));
    const std::wstring value_name(name, name_length);
    DWORD number = 0;
    if (kind == REG_DWORD && size == sizeof number) std::memcpy(&number, data.data(), sizeof number);
    if (value_name == record_value && kind == REG_SZ) {
      record_file = data.c_str();
    } else if (value_name == type_value && kind == REG_DWORD) {
      script.type = number;
    } else if (kind == REG_DWORD && !operation_of(value_name, result_suffix).empty()) {
      script.results[operation_of(value_name, result_suffix)] = static_cast<HRESULT>(number);
    } else if (kind == REG_BINARY && !operation_of(value_name, text_suffix).empty()) {
      script.texts[operation_of(value_name, text_suffix)] = data;
    }
  }
  auto journal = std::make_shared<file_journal>(record_file);
  journal->script = std::move(script);
  return journal;
}

}  // namespace kv::test
