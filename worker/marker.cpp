#include "worker/marker.h"

#include "container/files/write_session.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace tw {

namespace {

constexpr size_t kMarkerPathLimit = 4200;

bool attribute_present(int fd, bool *present) {
    std::vector<std::string> names;
    // A filesystem without user attributes lists none: no marker there.
    if (file_xattr_names(fd, &names) != 0)
        return false;
    *present = false;
    for (const std::string &name : names)
        if (name == kWriteSessionAttribute)
            *present = true;
    return true;
}

// The marker file: created new, or (repair) an existing one of this user.
int make_file(WriteMarker *m, const char *name, bool repair) {
    int fd = file_open_at(m->folder, name, FileAccess::read_write, FileCreate::create_new,
                          kFileNoFollow | kFileOwnerOnly);
    if (fd == -EEXIST) {
        if (!repair)
            return -EEXIST;
        fd = file_open_at(m->folder, name, FileAccess::read, FileCreate::open_existing,
                          kFileNoFollow | kFileNonBlock);
        if (fd < 0)
            return fd == -ELOOP ? -EACCES : fd;
        FileHandle file(fd);
        FileStatus st;
        if (int error = file_status(file.get(), &st))
            return error;
        if (st.type != FileType::regular || st.owner != geteuid())
            return -EACCES;
        m->interrupted = true;
        m->file_identity = st.identity;
        return file_flush(file.get());
    }
    if (fd < 0)
        return fd;
    FileHandle file(fd);
    m->created_file = true;
    FileStatus st;
    int error = file_status(file.get(), &st);
    if (error == 0) {
        m->file_identity = st.identity;
        error = file_flush(file.get());
    }
    if (error == 0)
        error = file_flush(m->folder);
    return error;
}

int make_attribute(WriteMarker *m, const char *container_path, bool repair) {
    bool present = false;
    if (!attribute_present(m->container_fd, &present))
        return -EIO;
    if (present) {
        if (!repair)
            return -EEXIST;
        m->interrupted = true;
    } else {
        int error = file_xattr_set(m->container_fd, kWriteSessionAttribute, "", 0);
        if (error)
            return error;
        m->created_attribute = true;
    }
    // The attribute must sit on the very file the path names.
    FileStatus opened, named;
    int error = file_status(m->container_fd, &opened);
    if (error == 0)
        error = file_status_path(container_path, true, &named);
    if (error == 0 && !(opened.identity == named.identity))
        error = -EACCES;
    if (error == 0)
        error = file_flush(m->container_fd);
    if (error && m->created_attribute) {
        file_xattr_remove(m->container_fd, kWriteSessionAttribute);
        m->created_attribute = false;
    }
    return error;
}

int open_folder(WriteMarker *m, const char *container_path) {
    const char *slash = std::strrchr(container_path, '/');
    if (slash == nullptr)
        return -EINVAL;
    // "/name" lies in the root folder.
    const std::string folder = slash == container_path
                                   ? std::string(1, '/')
                                   : std::string(container_path, size_t(slash - container_path));
    int fd = directory_open(folder.c_str());
    if (fd < 0)
        return fd;
    m->folder = fd;
    if (int error = folder_is_trusted(fd))
        return error;
    return volume_is_local_durable(fd);
}

} // namespace

int write_marker_create(const char *container_path, int container_fd, bool repair, WriteMarker *m) {
    *m = WriteMarker{};
    // The marker's own descriptor of the container: the attribute is removed
    // after the container itself has been closed.
    m->container_fd = file_duplicate(container_fd);
    if (m->container_fd < 0)
        return m->container_fd;
    // 1. The attribute of an earlier session.
    bool present = false;
    if (attribute_present(container_fd, &present) && present && !repair)
        return -EEXIST;
    // 2. The marker file's place.
    m->path = std::string(container_path) + kWriteSessionMarkerSuffix;
    int error = m->path.size() > kMarkerPathLimit ? -ENAMETOOLONG : 0;
    if (error == 0)
        error = open_folder(m, container_path);
    const char *name = std::strrchr(m->path.c_str(), '/');
    // 3. The file, 4. the attribute.
    if (error == 0)
        error = make_file(m, name ? name + 1 : m->path.c_str(), repair);
    if (error == 0)
        error = make_attribute(m, container_path, repair);
    if (error) {
        write_marker_discard_created(m);
        write_marker_release(m);
        return error;
    }
    m->active = true;
    return 0;
}

namespace {

const char *marker_name(const WriteMarker *m) {
    const char *slash = std::strrchr(m->path.c_str(), '/');
    return slash ? slash + 1 : m->path.c_str();
}

// Whether the marker path still names the file this worker made or reused.
bool file_is_ours(const WriteMarker *m) {
    FileStatus st;
    return file_status_at(m->folder, marker_name(m), false, &st) == 0 &&
           st.type == FileType::regular && st.identity == m->file_identity;
}

int remove_file(WriteMarker *m) {
    if (!file_is_ours(m) || file_unlink_at(m->folder, marker_name(m)) != 0)
        return -EIO;
    file_flush(m->folder);
    return 0;
}

} // namespace

int write_marker_remove(WriteMarker *m) {
    if (!m->active)
        return 0;
    m->active = false;
    // A marker file that is no longer the one made here is left with the
    // attribute, so that the container still asks for repair.
    if (!file_is_ours(m))
        return -EIO;
    int removed = file_xattr_remove(m->container_fd, kWriteSessionAttribute);
    if (removed != 0 && removed != -ENODATA)
        return -EIO;
    if (file_flush(m->container_fd) != 0)
        return -EIO;
    return remove_file(m);
}

void write_marker_discard_created(WriteMarker *m) {
    if (m->created_attribute && m->container_fd >= 0)
        file_xattr_remove(m->container_fd, kWriteSessionAttribute);
    m->created_attribute = false;
    if (m->created_file && m->folder >= 0)
        remove_file(m);
    m->created_file = false;
    m->active = false;
}

void write_marker_release(WriteMarker *m) {
    if (m->folder >= 0)
        close(m->folder);
    m->folder = -1;
    if (m->container_fd >= 0)
        close(m->container_fd);
    m->container_fd = -1;
}

} // namespace tw
