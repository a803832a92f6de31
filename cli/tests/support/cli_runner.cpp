#include "cli_runner.h"

#include "platform/io.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace tw::test {

namespace fs = std::filesystem;

namespace {

constexpr const char *kCreationOptions =
    R"({"event":"result","algorithm":9,"ciphers":[)"
    R"({"algorithm":1,"cipher":"SSE1","passwordLimit":4096},)"
    R"({"algorithm":8,"cipher":"XOR","passwordLimit":4096},)"
    R"({"algorithm":9,"cipher":"AES-256-XTS","passwordLimit":4096},)"
    R"({"algorithm":10,"cipher":"XChaCha20","passwordLimit":4096}],)"
    R"("filesystems":["exfat","fat32","ntfs"],"version":1})";

void write_file(const std::string &path, const std::string &text, mode_t mode) {
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f << text;
    }
    chmod(path.c_str(), mode);
}

void put32(std::string &out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>(v >> (8 * i)));
}

} // namespace

Sandbox::Sandbox() {
    char pattern[] = "/tmp/tw-cli-test-XXXXXX";
    const char *made = mkdtemp(pattern);
    dir_ = made != nullptr ? made : "";
    fs::create_directories(bin());
    fs::create_directories(runtime());
    fs::create_directories(dir_ + "/home");
    chmod(runtime().c_str(), 0700);
    // A copy, not a link: the program finds its engine next to the file it
    // was started from.
    fs::copy_file(std::string(TW_BIN_DIR) + "/tarnwick", program());
    chmod(program().c_str(), 0755);
}

Sandbox::~Sandbox() {
    std::error_code ignored;
    if (!dir_.empty())
        fs::remove_all(dir_, ignored);
}

void Sandbox::fake_engine(const std::string &body) {
    std::string script = "#!/bin/sh\n"
                         "here=$(dirname \"$0\")\n"
                         "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$here/args.txt\"\n"
                         "if [ \"$1\" = creation-options ]; then\n"
                         "  printf '%s\\n' '" +
                         std::string(kCreationOptions) +
                         "'\n"
                         "  exit 0\n"
                         "fi\n"
                         "cat > \"$here/stdin.bin\"\n" +
                         body + "\n";
    write_file(bin() + "/tarnwick-engine", script, 0755);
}

void Sandbox::real_engine() {
    fs::copy_file(std::string(TW_BIN_DIR) + "/tarnwick-engine", bin() + "/tarnwick-engine",
                  fs::copy_options::overwrite_existing);
    chmod((bin() + "/tarnwick-engine").c_str(), 0755);
}

void Sandbox::fake_service(const std::string &script) {
    fs::copy_file(std::string(TW_BIN_DIR) + "/tarnwick-test-service", bin() + "/tarnwick-service",
                  fs::copy_options::overwrite_existing);
    chmod((bin() + "/tarnwick-service").c_str(), 0755);
    std::ofstream(bin() + "/service-script.json") << script;
}

std::vector<std::string> Sandbox::service_requests() const {
    std::vector<std::string> lines;
    std::ifstream in(bin() + "/service-requests.txt");
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool Sandbox::has(const std::string &name) const {
    return fs::exists(bin() + "/" + name);
}

std::string Sandbox::read(const std::string &name) const {
    std::ifstream f(bin() + "/" + name, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> Sandbox::engine_args() const {
    std::vector<std::string> args;
    std::istringstream s(read("args.txt"));
    std::string line;
    while (std::getline(s, line))
        args.push_back(line);
    return args;
}

std::vector<std::string> Sandbox::in_sandbox(std::vector<std::string> words) const {
    for (std::string &w : words)
        if (w.starts_with("@"))
            w = dir_ + w.substr(1);
    return words;
}

std::string engine_prints(const std::string &json) {
    return "printf '%s\\n' '" + json + "'";
}

std::string engine_creates_cancel_event() {
    return "event=\"$XDG_RUNTIME_DIR/tarnwick/Cancel.$$\"\n"
           "mkdir -p -m 700 \"$XDG_RUNTIME_DIR/tarnwick\"\n"
           "printf '\\000\\000\\000\\000' > \"$event\"\n";
}

std::string engine_waits_for_cancel() {
    return "i=0\n"
           "while [ \"$(od -An -tx1 \"$event\" | tr -d ' ')\" = 00000000 ]; do\n"
           "  i=$((i+1)); [ $i -gt 600 ] && exit 9\n"
           "  sleep 0.05\n"
           "done\n"
           ": > \"$here/saw-cancel\"\n"
           "rm -f \"$event\"\n";
}

std::string request_bytes(uint32_t kind, const std::string &password,
                          const std::string &new_password, uint32_t cipher) {
    std::string out;
    put32(out, kind);
    put32(out, cipher);
    put32(out, static_cast<uint32_t>(password.size()));
    put32(out, 0);
    if (kind == 2)
        put32(out, static_cast<uint32_t>(new_password.size()));
    out += password;
    if (kind == 2)
        out += new_password;
    return out;
}

bool wait_for_file(const Sandbox &sandbox, const std::string &name, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (sandbox.has(name))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return sandbox.has(name);
}

CliRun run_cli(const Sandbox &sandbox, const CliOptions &options) {
    CliRun run;
    signal(SIGPIPE, SIG_IGN);
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    int master = -1, slave = -1;
    if (pipe2(out, O_CLOEXEC) != 0)
        return run;
    if (options.terminal) {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return run;
        fcntl(master, F_SETFD, FD_CLOEXEC);
    } else if (pipe2(in, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return run;
    }
    std::vector<std::string> words = options.args;
    words.insert(words.begin(), sandbox.program());
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    std::string cwd = options.working_dir.empty() ? sandbox.dir() : options.working_dir;
    std::string home = sandbox.dir() + "/home";

    pid_t pid = fork();
    if (pid == 0) {
        // A session of its own: no controlling terminal unless given one.
        setsid();
        if (options.terminal) {
            ioctl(slave, TIOCSCTTY, 0);
            dup2(slave, 0);
            dup2(slave, 2);
        } else {
            dup2(in[0], 0);
            dup2(err[1], 2);
        }
        dup2(out[1], 1);
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        clearenv();
        setenv("PATH", "/usr/bin:/bin", 1);
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", sandbox.runtime().c_str(), 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    if (options.terminal) {
        close(slave);
    } else {
        close(in[0]);
        close(err[1]);
        size_t done = 0;
        while (done < options.input.size()) {
            ssize_t n = write(in[1], options.input.data() + done, options.input.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        close(in[1]);
    }
    std::thread helper;
    if (options.while_running)
        helper = std::thread(options.while_running, pid);

    int second = options.terminal ? master : err[0];
    pollfd fds[2] = {{out[0], POLLIN, 0}, {second, POLLIN, 0}};
    size_t answered = 0;
    size_t search_from = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            run.err += "\n(test: the program did not finish in time)";
            break;
        }
        if (options.terminal && answered < options.answers.size()) {
            const auto &[prompt, typed] = options.answers[answered];
            size_t at = run.terminal.find(prompt, search_from);
            termios t{};
            if (at != std::string::npos && tcgetattr(master, &t) == 0 && !(t.c_lflag & ECHO)) {
                if (write(master, typed.data(), typed.size()) != static_cast<ssize_t>(typed.size()))
                    run.err += "\n(test: typing failed)";
                search_from = at + prompt.size();
                ++answered;
            }
        }
        if (poll(fds, 2, 20) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = tw::read_some(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                continue;
            }
            std::string &to = i == 0 ? run.out : options.terminal ? run.terminal : run.err;
            to.append(buf, static_cast<size_t>(n));
        }
    }
    for (pollfd &p : fds)
        if (p.fd >= 0)
            close(p.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (helper.joinable())
        helper.join();
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

} // namespace tw::test
