#include "initiator/session.h"

#include "initiator/texts.h"
#include "iscsi/naming.h"
#include "platform/descriptor.h"
#include "platform/loop_device.h"

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

extern "C" {
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
}

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tw {

namespace {

// The initiator's own name, under the product's naming authority.
const std::string kInitiatorName = std::string(kTarnwickIqnAuthority) + ":initiator";
constexpr const char *kLunFolder = "/run/tarnwick/luns";
constexpr const char *kDiskName = "disk";
constexpr fuse_ino_t kDiskInode = 2;
constexpr uint32_t kTransferMax = 256 * 1024; // bytes per READ(16)/WRITE(16)
constexpr int kCommandTimeoutSeconds = 10;
constexpr int kLogoutTimeoutSeconds = 2;
constexpr uint8_t kSenseDataProtect = 0x07;
constexpr uint8_t kSenseIllegalRequest = 0x05;

} // namespace

struct InitiatorSession {
    std::string id;
    iscsi_context *iscsi = nullptr;
    std::mutex iscsi_lock; // the FUSE thread and write-protect requests share the connection
    uint32_t block_size = 512;
    uint64_t size = 0;
    bool read_only = false;

    std::string mount_point;
    fuse_session *fuse = nullptr;
    bool mounted = false;
    std::thread fuse_thread;

    std::string device;
    int disk = -1;
    bool file_writable = false; // the loop device's file was opened for writing
};

namespace {

// 0, -EROFS for a write-protected disk, -EPERM for a refused command, or -EIO.
int task_result(iscsi_context *iscsi, scsi_task *task) {
    if (!task)
        return -EIO;
    int rc = 0;
    if (task->status != SCSI_STATUS_GOOD) {
        if (task->status == SCSI_STATUS_CHECK_CONDITION && task->sense.key == kSenseDataProtect)
            rc = -EROFS;
        else if (task->status == SCSI_STATUS_CHECK_CONDITION &&
                 task->sense.key == kSenseIllegalRequest)
            rc = -EPERM;
        else
            rc = -EIO;
    }
    (void)iscsi;
    scsi_free_scsi_task(task);
    return rc;
}

// Reads whole blocks [lba, lba + count) into buffer.
int read_blocks(InitiatorSession *s, uint64_t lba, uint32_t count, uint8_t *buffer) {
    std::lock_guard guard(s->iscsi_lock);
    scsi_task *task =
        iscsi_read16_sync(s->iscsi, 0, lba, count * s->block_size, s->block_size, 0, 0, 0, 0, 0);
    if (!task)
        return -EIO;
    if (task->status != SCSI_STATUS_GOOD || task->datain.size < 0 ||
        static_cast<uint64_t>(task->datain.size) != uint64_t{count} * s->block_size)
        return task_result(s->iscsi, task) ?: -EIO;
    memcpy(buffer, task->datain.data, task->datain.size);
    scsi_free_scsi_task(task);
    return 0;
}

int write_blocks(InitiatorSession *s, uint64_t lba, uint32_t count, const uint8_t *buffer) {
    std::lock_guard guard(s->iscsi_lock);
    return task_result(s->iscsi,
                       iscsi_write16_sync(s->iscsi, 0, lba, const_cast<uint8_t *>(buffer),
                                          count * s->block_size, s->block_size, 0, 0, 0, 0, 0));
}

// Byte ranges in any alignment, in runs of at most kTransferMax: reads round
// outward, writes read the partial blocks at either end first.
int transfer(InitiatorSession *s, uint8_t *data, uint64_t offset, size_t length, bool write) {
    uint64_t end = offset + length;
    if (offset > s->size || end > s->size)
        return -EINVAL;
    std::vector<uint8_t> run;
    while (offset < end) {
        uint64_t first = offset / s->block_size;
        uint64_t last = (end - 1) / s->block_size;
        uint64_t blocks = std::min<uint64_t>(last - first + 1, kTransferMax / s->block_size);
        uint64_t run_start = first * s->block_size;
        uint64_t run_end = (first + blocks) * s->block_size;
        uint64_t piece_end = std::min(end, run_end);
        size_t skip = offset - run_start;
        size_t piece = piece_end - offset;
        run.resize(blocks * s->block_size);
        bool partial = skip != 0 || piece != run.size();
        if (!write || partial) {
            int rc = read_blocks(s, first, static_cast<uint32_t>(blocks), run.data());
            if (rc != 0)
                return rc;
        }
        if (write) {
            memcpy(run.data() + skip, data, piece);
            int rc = write_blocks(s, first, static_cast<uint32_t>(blocks), run.data());
            if (rc != 0)
                return rc;
        } else {
            memcpy(data, run.data() + skip, piece);
        }
        data += piece;
        offset = piece_end;
    }
    return 0;
}

int synchronize(InitiatorSession *s) {
    std::lock_guard guard(s->iscsi_lock);
    return task_result(s->iscsi, iscsi_synchronizecache16_sync(s->iscsi, 0, 0, 0, 0, 0));
}

// ---- The FUSE file system: a root folder with the one file "disk"

InitiatorSession *owner(fuse_req_t req) {
    return static_cast<InitiatorSession *>(fuse_req_userdata(req));
}

struct stat attributes(InitiatorSession *s, fuse_ino_t ino) {
    struct stat st {};
    st.st_ino = ino;
    st.st_uid = 0;
    st.st_gid = 0;
    if (ino == FUSE_ROOT_ID) {
        st.st_mode = S_IFDIR | 0700;
        st.st_nlink = 2;
    } else {
        st.st_mode = S_IFREG | (s->read_only ? 0400 : 0600);
        st.st_nlink = 1;
        st.st_size = static_cast<off_t>(s->size);
        st.st_blksize = s->block_size;
        st.st_blocks = static_cast<blkcnt_t>(s->size / 512);
    }
    return st;
}

void lun_lookup(fuse_req_t req, fuse_ino_t parent, const char *name) {
    if (parent != FUSE_ROOT_ID || strcmp(name, kDiskName) != 0) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fuse_entry_param entry{};
    entry.ino = kDiskInode;
    entry.attr = attributes(owner(req), kDiskInode);
    entry.attr_timeout = 1;
    entry.entry_timeout = 1;
    fuse_reply_entry(req, &entry);
}

void lun_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *) {
    if (ino != FUSE_ROOT_ID && ino != kDiskInode) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st = attributes(owner(req), ino);
    fuse_reply_attr(req, &st, 1);
}

void lun_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi) {
    if (ino != kDiskInode) {
        fuse_reply_err(req, ino == FUSE_ROOT_ID ? EISDIR : ENOENT);
        return;
    }
    if ((fi->flags & O_ACCMODE) != O_RDONLY && owner(req)->read_only) {
        fuse_reply_err(req, EROFS);
        return;
    }
    fuse_reply_open(req, fi);
}

void lun_read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info *) {
    InitiatorSession *s = owner(req);
    uint64_t start = static_cast<uint64_t>(offset);
    if (start >= s->size) {
        fuse_reply_buf(req, nullptr, 0);
        return;
    }
    size = static_cast<size_t>(std::min<uint64_t>(size, s->size - start));
    std::vector<uint8_t> data(size);
    int rc = transfer(s, data.data(), start, size, false);
    if (rc != 0)
        fuse_reply_err(req, -rc);
    else
        fuse_reply_buf(req, reinterpret_cast<const char *>(data.data()), size);
}

void lun_write(fuse_req_t req, fuse_ino_t, const char *buffer, size_t size, off_t offset,
               fuse_file_info *) {
    InitiatorSession *s = owner(req);
    uint64_t start = static_cast<uint64_t>(offset);
    if (start > s->size || size > s->size - start) {
        fuse_reply_err(req, ENOSPC);
        return;
    }
    int rc =
        transfer(s, reinterpret_cast<uint8_t *>(const_cast<char *>(buffer)), start, size, true);
    if (rc != 0)
        fuse_reply_err(req, -rc);
    else
        fuse_reply_write(req, size);
}

void lun_flush(fuse_req_t req, fuse_ino_t, fuse_file_info *fi) {
    // Nothing is cached here; a flush of a read-only open has nothing to do.
    if ((fi->flags & O_ACCMODE) == O_RDONLY) {
        fuse_reply_err(req, 0);
        return;
    }
    fuse_reply_err(req, -synchronize(owner(req)));
}

void lun_fsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info *) {
    fuse_reply_err(req, -synchronize(owner(req)));
}

void lun_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info *) {
    if (ino != FUSE_ROOT_ID) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    char buffer[512];
    size_t used = 0;
    struct Entry {
        const char *name;
        fuse_ino_t ino;
        mode_t mode;
    };
    const Entry entries[] = {{".", FUSE_ROOT_ID, S_IFDIR},
                             {"..", FUSE_ROOT_ID, S_IFDIR},
                             {kDiskName, kDiskInode, S_IFREG}};
    for (off_t i = offset; i < 3; ++i) {
        struct stat st {};
        st.st_ino = entries[i].ino;
        st.st_mode = entries[i].mode;
        size_t need = fuse_add_direntry(req, buffer + used, std::min(size, sizeof buffer) - used,
                                        entries[i].name, &st, i + 1);
        if (used + need > std::min(size, sizeof buffer))
            break;
        used += need;
    }
    fuse_reply_buf(req, buffer, used);
}

const fuse_lowlevel_ops kLunOperations = [] {
    fuse_lowlevel_ops ops{};
    ops.lookup = lun_lookup;
    ops.getattr = lun_getattr;
    ops.open = lun_open;
    ops.read = lun_read;
    ops.write = lun_write;
    ops.flush = lun_flush;
    ops.fsync = lun_fsync;
    ops.readdir = lun_readdir;
    return ops;
}();

// ---- Setting up and tearing down

int iscsi_connect(InitiatorSession *s, const SessionLogin &login, const char **message) {
    s->iscsi = iscsi_create_context(kInitiatorName.c_str());
    if (!s->iscsi) {
        *message = kTextInitiatorLoginFailed;
        return -ENOMEM;
    }
    std::string secret(reinterpret_cast<const char *>(login.chap_secret.data()),
                       login.chap_secret.size());
    int rc = 0;
    if (iscsi_set_targetname(s->iscsi, login.iqn.c_str()) != 0 ||
        iscsi_set_session_type(s->iscsi, ISCSI_SESSION_NORMAL) != 0 ||
        iscsi_set_header_digest(s->iscsi, ISCSI_HEADER_DIGEST_NONE) != 0 ||
        iscsi_set_initiator_username_pwd(s->iscsi, login.chap_name.c_str(), secret.c_str()) != 0)
        rc = -EINVAL;
    secure_wipe(secret.data(), secret.size());
    if (rc != 0) {
        *message = kTextInitiatorLoginFailed;
        return rc;
    }
    // The target serves one connection at a time: a login to a busy or
    // silent target ends after the time-out instead of waiting forever.
    iscsi_set_timeout(s->iscsi, kCommandTimeoutSeconds);
    // A lost connection means the worker ended: its target takes one
    // connection and lives on the loopback interface. libiscsi would
    // otherwise reconnect forever, and the disk's I/O and the logout would
    // wait on a target that is gone; without reconnecting they fail at once.
    iscsi_set_noautoreconnect(s->iscsi, 1);
    std::string portal = "127.0.0.1:" + std::to_string(login.port);
    if (iscsi_full_connect_sync(s->iscsi, portal.c_str(), 0) != 0) {
        const char *error = iscsi_get_error(s->iscsi);
        // A refused CHAP answer and a closed door (admission) both end here
        // as a failed login; the target's status tells them from a lost line.
        bool refused = error && (strstr(error, "uthenticat") || strstr(error, "uthoriz") ||
                                 strstr(error, "CHAP") || strstr(error, "Status"));
        *message = refused ? kTextInitiatorLoginRefused : kTextInitiatorLoginFailed;
        return refused ? -EACCES : -EIO;
    }

    scsi_task *task = iscsi_readcapacity16_sync(s->iscsi, 0);
    scsi_readcapacity16 *capacity = nullptr;
    if (task && task->status == SCSI_STATUS_GOOD)
        capacity = static_cast<scsi_readcapacity16 *>(scsi_datain_unmarshall(task));
    if (!capacity || capacity->block_length < 512 || capacity->block_length > 4096 ||
        (capacity->block_length & (capacity->block_length - 1)) != 0) {
        if (task)
            scsi_free_scsi_task(task);
        *message = kTextInitiatorNoCapacity;
        return -EIO;
    }
    s->block_size = capacity->block_length;
    s->size = (capacity->returned_lba + 1) * capacity->block_length;
    scsi_free_scsi_task(task);

    task = iscsi_modesense6_sync(s->iscsi, 0, 1, SCSI_MODESENSE_PC_CURRENT,
                                 SCSI_MODEPAGE_RETURN_ALL_PAGES, 0, 255);
    scsi_mode_sense *sense = nullptr;
    if (task && task->status == SCSI_STATUS_GOOD)
        sense = static_cast<scsi_mode_sense *>(scsi_datain_unmarshall(task));
    // Without an answer the disk is taken as write-protected: the safe side.
    s->read_only = !sense || (sense->device_specific_parameter & 0x80) != 0;
    if (task)
        scsi_free_scsi_task(task);
    return 0;
}

int fuse_present(InitiatorSession *s) {
    s->mount_point = std::string(kLunFolder) + "/" + s->id;
    if (mkdir(kLunFolder, 0700) != 0 && errno != EEXIST)
        return -errno;
    if (mkdir(s->mount_point.c_str(), 0700) != 0)
        return -errno;
    const char *argv[] = {"tarnwick-initiator", "-o", "fsname=tarnwick,subtype=lun"};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char **>(argv));
    s->fuse = fuse_session_new(&args, &kLunOperations, sizeof kLunOperations, s);
    fuse_opt_free_args(&args); // the session keeps its own copy of what it parsed
    if (!s->fuse)
        return -EIO;
    if (fuse_session_mount(s->fuse, s->mount_point.c_str()) != 0)
        return -EIO;
    s->mounted = true;
    s->fuse_thread = std::thread([fuse = s->fuse] { fuse_session_loop(fuse); });
    return 0;
}

int loop_present(InitiatorSession *s) {
    std::string file = s->mount_point + "/" + kDiskName;
    s->file_writable = !s->read_only;
    FileHandle fd(open(file.c_str(), (s->file_writable ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    if (!fd.valid())
        return -errno;
    LoopAttach attach;
    attach.backing_fd = fd.get();
    attach.block_size = s->block_size;
    attach.read_only = s->read_only;
    return loop_attach(attach, &s->device, &s->disk);
}

void wake_up(int) {}

// Ends the FUSE connection of a mount that could not be unmounted (the
// fusectl control file), so that its server loop returns and the mount can
// go lazily.
void abort_connection(const std::string &mount_point) {
    struct stat st {};
    if (stat(mount_point.c_str(), &st) != 0)
        return;
    std::string control = "/sys/fs/fuse/connections/" + std::to_string(minor(st.st_dev)) + "/abort";
    FileHandle fd(open(control.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.valid() && write(fd.get(), "1", 1) < 0) {
        // Nothing more to do: the server loop is stopped by a signal below.
    }
}

// Stops the server loop of a connection that did not end: the exit flag is
// seen when the signal interrupts its read.
void stop_server_loop(InitiatorSession *s) {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = wake_up; // no SA_RESTART: the read returns EINTR
        sigemptyset(&action.sa_mask);
        return sigaction(SIGUSR1, &action, nullptr) == 0;
    }();
    fuse_session_exit(s->fuse);
    if (installed)
        pthread_kill(s->fuse_thread.native_handle(), SIGUSR1);
}

// Forgets the loop device when it no longer serves this session's file: a
// device that let go of it on its own may since serve someone else.
void forget_foreign_device(InitiatorSession *s) {
    if (!s->device.empty() && loop_backing_file(s->disk) != s->mount_point + "/" + kDiskName) {
        s->device.clear();
        s->disk = -1;
    }
}

// Removes what exists of the session, last piece first. 0 or -EIO when
// something stayed.
int teardown(InitiatorSession *s) {
    int rc = 0;
    forget_foreign_device(s);
    if (!s->device.empty()) {
        if (loop_detach(s->device, 5000) != 0)
            rc = -EIO;
        s->device.clear();
        s->disk = -1;
    }
    bool ended = true;
    if (s->mounted) {
        // Unmounting ends the FUSE connection, and with it the server loop.
        // A loop device that still holds the file keeps the mount busy: its
        // connection is then aborted (its I/O fails) rather than left to
        // block this service.
        if (umount2(s->mount_point.c_str(), 0) != 0) {
            rc = -EIO;
            ended = false;
            abort_connection(s->mount_point);
            umount2(s->mount_point.c_str(), MNT_DETACH);
        }
        s->mounted = false;
    }
    if (s->fuse_thread.joinable()) {
        if (!ended)
            stop_server_loop(s);
        s->fuse_thread.join();
    }
    if (s->fuse) {
        fuse_session_unmount(s->fuse);
        fuse_session_destroy(s->fuse);
        s->fuse = nullptr;
    }
    if (!s->mount_point.empty()) {
        if (rmdir(s->mount_point.c_str()) != 0 && errno != ENOENT)
            rc = -EIO;
        s->mount_point.clear();
    }
    if (s->iscsi) {
        if (iscsi_is_logged_in(s->iscsi)) {
            iscsi_set_timeout(s->iscsi, kLogoutTimeoutSeconds);
            iscsi_logout_sync(s->iscsi);
        }
        iscsi_destroy_context(s->iscsi);
        s->iscsi = nullptr;
    }
    return rc;
}

} // namespace

int session_login(const std::string &id, const SessionLogin &login, InitiatorSession **out,
                  const char **message) {
    *out = nullptr;
    auto *s = new InitiatorSession;
    s->id = id;
    int rc = iscsi_connect(s, login, message);
    if (rc == 0 && (rc = fuse_present(s)) != 0)
        *message = kTextInitiatorPresentFailed;
    if (rc == 0 && (rc = loop_present(s)) != 0)
        *message = kTextInitiatorLoopFailed;
    if (rc != 0) {
        teardown(s);
        delete s;
        return rc;
    }
    *out = s;
    return 0;
}

const std::string &session_id(const InitiatorSession *s) {
    return s->id;
}
const std::string &session_device(const InitiatorSession *s) {
    return s->device;
}
int session_disk(const InitiatorSession *s) {
    return s->disk;
}
bool session_read_only(const InitiatorSession *s) {
    return s->read_only;
}

int session_logout(InitiatorSession *s) {
    forget_foreign_device(s);
    if (!s->device.empty()) {
        bool busy = false;
        if (loop_in_use(s->device, &busy) != 0)
            return -EIO;
        if (busy)
            return -EBUSY;
        // A user who opened the device since the check keeps it until they
        // close it; the device then lets go of its file on its own.
        int detached = loop_detach(s->device, 2000);
        if (detached == -EBUSY)
            return -EBUSY;
        if (detached != 0)
            return -EIO;
        s->device.clear();
        s->disk = -1;
    }
    int rc = teardown(s);
    delete s;
    return rc;
}

void session_destroy(InitiatorSession *s) {
    teardown(s);
    delete s;
}

int session_set_write_protect(InitiatorSession *s, bool enable) {
    uint8_t cdb[6] = {0xC0, static_cast<uint8_t>(enable ? 0 : 1), 0, 0, 0, 0};
    int rc;
    {
        std::lock_guard guard(s->iscsi_lock);
        scsi_task *task = scsi_create_task(sizeof cdb, cdb, SCSI_XFER_NONE, 0);
        if (!task)
            return -ENOMEM;
        if (!iscsi_scsi_command_sync(s->iscsi, 0, task, nullptr)) {
            scsi_free_scsi_task(task); // not sent: still ours
            return -EIO;
        }
        rc = task_result(s->iscsi, task);
    }
    if (rc != 0)
        return rc == -EPERM ? -EPERM : -EIO;
    s->read_only = enable;
    // A file opened read-only keeps the loop device read-only whatever the
    // target says; one opened for writing follows the switch.
    if (s->file_writable && loop_set_read_only(s->device, enable) != 0)
        return -EIO;
    return 0;
}

} // namespace tw
