#include "container/files/raw_image.h"

#include "platform/files.h"
#include "runtime/text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace tw {

int destination_check(const char *output, uint64_t need, FileHandle *folder_out) {
    const char *slash = output != nullptr ? std::strrchr(output, '/') : nullptr;
    if (slash == nullptr || slash[1] == '\0')
        return -EINVAL;
    std::string folder_path(output, static_cast<size_t>(slash - output));
    if (folder_path.empty())
        folder_path.push_back('/'); // (GCC 12 -O3 misreads the assignment of a literal here)
    int dir = directory_open(folder_path.c_str());
    if (dir < 0)
        return dir;
    FileHandle folder(dir);
    if (int rc = folder_is_trusted(folder.get()))
        return rc;
    if (volume_is_local_durable(folder.get()) != 0)
        return -ENOTSUP;
    uint64_t available = 0;
    if (free_space(folder.get(), &available) != 0)
        return -EIO;
    if (available < need)
        return -ENOSPC;
    FileStatus st;
    int rc = file_status_at(folder.get(), slash + 1, false, &st);
    if (rc == 0)
        return -EEXIST;
    if (rc != -ENOENT)
        return rc;
    if (folder_out != nullptr)
        *folder_out = std::move(folder);
    return 0;
}

int raw_image_create(int folder, const char *purpose, uint64_t size, bool reserve, RawImage *out) {
    int fd = file_open_unnamed(folder);
    if (fd == -EOPNOTSUPP || fd == -EISDIR || fd == -ENOTSUP) {
        char uuid[kUuidTextSize];
        if (!uuid_generate(uuid))
            return -EIO;
        char name[96];
        std::snprintf(name, sizeof name, ".tarnwick-%s-%s.raw", purpose, uuid);
        fd = file_open_at(folder, name, FileAccess::read_write, FileCreate::create_new,
                          kFileNoFollow | kFileOwnerOnly);
        if (fd >= 0 && file_unlink_at(folder, name) != 0) {
            FileHandle failed(fd);
            return -EIO;
        }
    }
    if (fd < 0)
        return fd;
    FileHandle write(fd);
    char self[40];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", write.get());
    int read = file_open(self, FileAccess::read, FileCreate::open_existing, 0);
    if (read < 0)
        return -EIO;
    FileHandle reader(read);
    int rc = reserve ? file_reserve(write.get(), size) : file_set_size(write.get(), size);
    if (rc == -EOPNOTSUPP)
        rc = -ENOTSUP;
    if (rc != 0)
        return rc;
    out->write = std::move(write);
    out->read = std::move(reader);
    return 0;
}

} // namespace tw
