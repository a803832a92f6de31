// A private temporary folder for one test, with HOME and the XDG folders
// pointed into it, so that nothing touches the real user's folders.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tw::test {

class TempEnv {
  public:
    // Creates a fresh folder under /tmp and sets HOME, XDG_DATA_HOME,
    // XDG_CONFIG_HOME, XDG_CACHE_HOME and XDG_RUNTIME_DIR to folders in it
    // (the XDG folders themselves are created only for XDG_RUNTIME_DIR).
    TempEnv();
    // Restores the environment and removes the folder with all it holds.
    ~TempEnv();
    TempEnv(const TempEnv &) = delete;
    TempEnv &operator=(const TempEnv &) = delete;

    const std::string &root() const { return root_; }
    std::string path(const std::string &name) const { return root_ + "/" + name; }

  private:
    std::string root_;
    std::vector<std::pair<std::string, std::string>> saved_; // name, value ("\1" = unset)
};

// Removes a file or folder tree without following symbolic links.
void remove_tree(const std::string &path);

// Writes text to a new file (replacing an existing one).
void write_file(const std::string &path, const std::string &text);

// Reads all a descriptor delivers until end of file.
std::string read_all(int fd);

} // namespace tw::test
