// The one owner of a file descriptor: closes it when it goes out of scope.
#pragma once

namespace tw {

// Owns one file descriptor and closes it when it goes out of scope.
class FileHandle {
  public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    FileHandle(FileHandle &&other) noexcept : fd_(other.release()) {}
    FileHandle &operator=(FileHandle &&other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~FileHandle() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held (if any) and takes `fd`. Returns the result of
    // that close: 0 or a negative errno value.
    int reset(int fd = -1);

  private:
    int fd_ = -1;
};

} // namespace tw
