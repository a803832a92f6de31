#include "broker/log.h"

#include "platform/io.h"
#include "runtime/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

std::mutex g_log_lock;
std::string g_log_path;

} // namespace

void broker_log_open(const std::string &path) {
    std::lock_guard<std::mutex> guard(g_log_lock);
    g_log_path = path;
}

void broker_log(const char *format, ...) {
    char line[kLogLineMax + 2];
    time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    int prefix =
        snprintf(line, sizeof line, "%04u-%02u-%02uT%02u:%02u:%02uZ ",
                 static_cast<unsigned>(utc.tm_year + 1900), static_cast<unsigned>(utc.tm_mon + 1),
                 static_cast<unsigned>(utc.tm_mday), static_cast<unsigned>(utc.tm_hour),
                 static_cast<unsigned>(utc.tm_min), static_cast<unsigned>(utc.tm_sec));
    va_list arguments;
    va_start(arguments, format);
    char *message = vformat_alloc(format, arguments);
    va_end(arguments);
    if (message == nullptr || prefix <= 0)
        return free(message);
    // Cut on a character boundary, so the log stays valid UTF-8.
    size_t room = kLogLineMax - static_cast<size_t>(prefix);
    size_t keep = utf8_prefix_length(message, room);
    memcpy(line + prefix, message, keep);
    free(message);
    size_t length = static_cast<size_t>(prefix) + keep;
    line[length++] = '\n';

    std::lock_guard<std::mutex> guard(g_log_lock);
    if (g_log_path.empty())
        return;
    struct stat st;
    if (lstat(g_log_path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) >= kLogRotateSize)
        rename(g_log_path.c_str(), (g_log_path + ".1").c_str());
    int fd = open(g_log_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    (void)write_full(fd, line, length);
    close(fd);
}

} // namespace tw
