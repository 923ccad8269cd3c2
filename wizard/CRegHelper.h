#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {
class SettingsFile;
}

// The root under which keys are opened; the wizard only uses the user's own settings.
enum class RegRoot { CurrentUser };
inline constexpr RegRoot HKEY_CURRENT_USER = RegRoot::CurrentUser;

// One settings key for one use: choose the root, open (or create) the key, read or write its
// values, and the key closes when the object goes. Failures of single values are not shown to
// the user; they go to the debugger output.
class CRegHelper {
public:
    // The most bytes a value may have to be read.
    static constexpr std::size_t kQueryLimit = 4096;

    CRegHelper();
    virtual ~CRegHelper();
    CRegHelper(const CRegHelper&) = delete;
    CRegHelper& operator=(const CRegHelper&) = delete;

    void SetRoot(RegRoot root);
    // Opens the key, creating it when missing. Keys are kept on disk, so values outlive the
    // session. True when the key is open.
    bool OpenKey(const std::string& keyPath);
    void SetDword(const std::string& name, std::uint32_t value);
    void SetString(const std::string& name, std::string value);
    // 1 when the value was read into `value`; 0 leaves `value` as it was.
    int GetString(const std::string& name, std::string& value);

    // The settings file of the key last opened, also when it could not be opened.
    const std::string& FilePath() const { return m_filePath; }
    // Why the open key's file cannot be used ("read <file>: line 3 is not a setting"); empty
    // when it reads, or when no key is open.
    std::string ReadError() const;
    // The first failure of this object to make its key or write a value, naming the file;
    // empty when every write went in.
    const std::string& WriteError() const { return m_writeError; }

    RegRoot m_rootKey = HKEY_CURRENT_USER;
    std::unique_ptr<platform::SettingsFile> m_key;

private:
    void noteWriteError(const std::string& what);

    std::string m_filePath;
    std::string m_writeError;
};
