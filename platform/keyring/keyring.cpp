// The keyring through libsecret's synchronous calls. Each call runs under a
// cancellable that a timer cancels after kTimeoutMs, so a keyring that waits
// for a prompt nobody answers cannot hold the caller forever.
#include "platform/keyring/keyring.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <libsecret/secret.h>
#include <mutex>
#include <string>
#include <thread>

namespace tw {

namespace {

constexpr int kTimeoutMs = 30000;

const SecretSchema kSchema = {"org.tarnwick.Credential",
                              SECRET_SCHEMA_NONE,
                              {{"target", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
                               {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                              0,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr};

// Cancels its cancellable when the time is up, unless it ended first.
class Deadline {
  public:
    Deadline() : cancellable_(g_cancellable_new()) {
        try {
            timer_ = std::thread([this] {
                std::unique_lock<std::mutex> held(lock_);
                if (!done_signal_.wait_for(held, std::chrono::milliseconds(kTimeoutMs),
                                           [this] { return done_; }))
                    g_cancellable_cancel(cancellable_);
            });
        } catch (...) {
            // Without a timer the call runs unbounded, as libsecret's own.
        }
    }
    ~Deadline() {
        {
            std::lock_guard<std::mutex> held(lock_);
            done_ = true;
        }
        done_signal_.notify_all();
        if (timer_.joinable())
            timer_.join();
        g_object_unref(cancellable_);
    }
    Deadline(const Deadline &) = delete;
    Deadline &operator=(const Deadline &) = delete;
    GCancellable *get() { return cancellable_; }

  private:
    GCancellable *cancellable_;
    std::mutex lock_;
    std::condition_variable done_signal_;
    bool done_ = false;
    std::thread timer_;
};

// Every call connects anew and lets go afterwards: a keyring that restarts
// is found again, and no connection stays open between the rare calls. The
// session bus connection that GLib shares would end the whole process when
// the bus goes away; here a lost bus is only a failed call.
class BusUse {
  public:
    // Holds the shared connection for the call, so that libsecret uses this
    // one and not a new one of its own.
    BusUse() : bus_(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
        if (bus_ != nullptr)
            g_dbus_connection_set_exit_on_close(bus_, FALSE);
    }
    ~BusUse() {
        secret_service_disconnect();
        if (bus_ != nullptr)
            g_object_unref(bus_);
    }
    BusUse(const BusUse &) = delete;
    BusUse &operator=(const BusUse &) = delete;

  private:
    GDBusConnection *bus_;
};

} // namespace

int keyring_store(std::string_view target, std::string_view label, std::string_view user,
                  std::span<const uint8_t> secret) {
    // libsecret takes the secret as a NUL-terminated text; it is copied into
    // locked memory first so that no unlocked copy is left behind.
    if (memchr(secret.data(), 0, secret.size()) != nullptr)
        return -EINVAL;
    SecureBuffer text = SecureBuffer::with_capacity(secret.size() + 1);
    if (!text.valid() || !text.resize(secret.size() + 1))
        return -ENOMEM;
    memcpy(text.data(), secret.data(), secret.size());
    text.data()[secret.size()] = 0;
    std::string target_text(target), label_text(label), user_text(user);
    BusUse bus;
    Deadline deadline;
    GError *error = nullptr;
    gboolean stored = secret_password_store_sync(
        &kSchema, SECRET_COLLECTION_DEFAULT, label_text.c_str(),
        reinterpret_cast<const char *>(text.data()), deadline.get(), &error, "target",
        target_text.c_str(), "user", user_text.c_str(), nullptr);
    if (error != nullptr)
        g_error_free(error);
    return stored ? 0 : -EIO;
}

int keyring_read(std::string_view target, SecureBuffer *secret) {
    std::string target_text(target);
    BusUse bus;
    Deadline deadline;
    GError *error = nullptr;
    gchar *found = secret_password_lookup_nonpageable_sync(&kSchema, deadline.get(), &error,
                                                           "target", target_text.c_str(), nullptr);
    if (error != nullptr) {
        g_error_free(error);
        if (found != nullptr)
            secret_password_free(found);
        return -EIO;
    }
    if (found == nullptr)
        return -ENOENT;
    size_t length = strlen(found);
    SecureBuffer copy = SecureBuffer::with_capacity(length > 0 ? length : 1);
    bool copied = copy.valid() && copy.assign(found, length);
    secret_password_free(found); // wipes the non-pageable copy
    if (!copied)
        return -ENOMEM;
    *secret = std::move(copy);
    return 0;
}

int keyring_delete(std::string_view target) {
    std::string target_text(target);
    BusUse bus;
    Deadline deadline;
    GError *error = nullptr;
    secret_password_clear_sync(&kSchema, deadline.get(), &error, "target", target_text.c_str(),
                               nullptr);
    // FALSE without an error means nothing matched, which is not a failure.
    if (error != nullptr) {
        g_error_free(error);
        return -EIO;
    }
    return 0;
}

} // namespace tw
