// The processes under test: starting them, reading their CPU time and memory
// from /proc, stopping them, and the program's browser channel.
#include "bench.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "build_config.h"

namespace bench {

namespace {

std::mutex started_mutex;
std::vector<pid_t> started;

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<pid_t> children_of(pid_t pid)
{
    std::vector<pid_t> out;
    std::stringstream list(
        read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    pid_t child;
    while (list >> child)
        out.push_back(child);
    return out;
}

long status_kib(pid_t pid, const char* field)
{
    std::stringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    }
    return 0;
}

std::string find_executable(const char* name)
{
    for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/", "/usr/local/bin/"}) {
        std::string path = std::string(dir) + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return name;
}

} // namespace

double relay::cpu_seconds() const
{
    if (pid < 0)
        return 0;
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return 0;
    // After the command name: state is field 3; utime, stime, cutime, cstime
    // are fields 14 to 17.
    std::stringstream fields(stat.substr(paren + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i)
        fields >> skip;
    double utime = 0, stime = 0, cutime = 0, cstime = 0;
    fields >> utime >> stime >> cutime >> cstime;
    return (utime + stime + cutime + cstime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long relay::hwm_kib() const
{
    if (pid < 0)
        return 0;
    long peak = status_kib(pid, "VmHWM:");
    for (pid_t child : children_of(pid))
        peak = std::max(peak, status_kib(child, "VmHWM:"));
    return peak;
}

void relay::sample_memory()
{
    peak_kib = std::max(peak_kib, hwm_kib());
}

void relay::settle() const
{
    if (!forks)
        return;
    for (int i = 0; i < 300 && !children_of(pid).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool relay::alive()
{
    if (pid < 0)
        return true;
    if (!exited && waitpid(pid, nullptr, WNOHANG) != 0)
        exited = true;
    return !exited;
}

void relay::stop()
{
    if (pid > 0 && !exited)
        stop_process(pid);
    exited = true;
}

namespace {
// Made with the directory, so that a signal handler can remove it.
char temp_paths[5][128];
} // namespace

std::string temp_dir()
{
    static std::string dir = [] {
        char name[] = "/tmp/nimbrel-bench.XXXXXX";
        const char* made = mkdtemp(name);
        std::string path = made ? made : "/tmp";
        if (made) {
            const char* files[] = {"/haproxy.cfg", "/haproxy.log", "/socat.log", "/nimbrel-client.log", ""};
            for (int i = 0; i < 5; ++i)
                std::snprintf(temp_paths[i], sizeof temp_paths[i], "%s%s", made, files[i]);
        }
        return path;
    }();
    return dir;
}

void remove_temp_dir()
{
    for (int i = 0; i < 5; ++i) {
        if (temp_paths[i][0] == 0)
            continue;
        if (i == 4) {
            rmdir(temp_paths[i]);
        } else {
            unlink(temp_paths[i]);
        }
    }
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& log_path)
{
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // A group of its own, so that stopping it also reaches what it forks;
        // and it dies with the benchmark whatever way the benchmark ends.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int null = open("/dev/null", O_RDONLY);
        if (log >= 0) {
            dup2(log, 1);
            dup2(log, 2);
        }
        if (null >= 0)
            dup2(null, 0);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        std::perror("exec");
        _exit(127);
    }
    if (pid > 0) {
        setpgid(pid, pid);
        std::lock_guard lock(started_mutex);
        started.push_back(pid);
    }
    return pid;
}

void stop_process(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(-pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        int status;
        if (waitpid(pid, &status, WNOHANG) != 0) {
            kill(-pid, SIGKILL); // leftovers of the group, if any
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

void stop_all_processes()
{
    std::lock_guard lock(started_mutex);
    for (pid_t pid : started)
        kill(-pid, SIGKILL);
}

bool wait_listening(std::uint16_t port, int timeout_ms)
{
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, ":%04X ", port);
    for (int waited = 0; waited < timeout_ms; waited += 20) {
        std::stringstream table(read_file("/proc/net/tcp"));
        std::string line;
        while (std::getline(table, line)) {
            // local_address is the second column, the state (0A = listen) the fourth.
            std::stringstream cols(line);
            std::string slot, local, remote, state;
            cols >> slot >> local >> remote >> state;
            if (state == "0A" && (local + " ").find(wanted) != std::string::npos)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool start_haproxy(relay& r)
{
    const std::string config = temp_dir() + "/haproxy.cfg";
    std::ofstream out(config);
    out << "global\n"
           "    nbthread 1\n"
           "    maxconn 1024\n"
           "defaults\n"
           "    mode tcp\n"
           "    timeout connect 5s\n"
           "    timeout client 60s\n"
           "    timeout server 60s\n"
           "frontend game\n"
           "    bind 127.0.0.1:"
        << haproxy_port
        << "\n"
           "    default_backend room\n"
           "backend room\n"
           "    server room 127.0.0.1:"
        << room_port << "\n";
    out.close();
    r.pid = spawn({find_executable("haproxy"), "-db", "-f", config}, temp_dir() + "/haproxy.log");
    return r.pid > 0 && wait_listening(haproxy_port, 5000) && r.alive();
}

bool start_socat(relay& r)
{
    // fork: one child per connection, as socat serves more than one only so.
    r.forks = true;
    r.pid = spawn({find_executable("socat"), "-b65536",
                   "TCP-LISTEN:" + std::to_string(socat_port) + ",reuseaddr,fork",
                   "TCP:127.0.0.1:" + std::to_string(room_port)},
                  temp_dir() + "/socat.log");
    return r.pid > 0 && wait_listening(socat_port, 5000) && r.alive();
}

bool start_program(relay& r, const std::string& path)
{
    if (access(path.c_str(), X_OK) != 0) {
        r.failure = "no program at " + path;
        return false;
    }
    r.pid = spawn({path}, temp_dir() + "/nimbrel-client.log");
    if (r.pid <= 0 || !wait_listening(program_game_port, 10000) || !wait_listening(program_ws_port, 1000)) {
        r.failure = "program did not listen";
        return false;
    }
    return r.alive();
}

// ---- the browser channel ----

bool control_channel::open()
{
    fd = connect_loopback(program_ws_port);
    if (fd < 0)
        return false;
    std::string request = "GET / HTTP/1.1\r\n"
                          "Host: 127.0.0.1:48026\r\n"
                          "Upgrade: websocket\r\n"
                          "Connection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                          "Sec-WebSocket-Version: 13\r\n"
                          "Origin: https://" +
                          std::string(site_domain) + "\r\n\r\n";
    if (!send_all(fd, request.data(), request.size()))
        return false;
    std::string reply;
    char chunk[4096];
    while (reply.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        reply.append(chunk, static_cast<std::size_t>(n));
    }
    if (reply.rfind("HTTP/1.1 101", 0) != 0)
        return false;
    std::size_t end = reply.find("\r\n\r\n") + 4;
    pending.assign(reply.begin() + static_cast<std::ptrdiff_t>(end), reply.end());
    // The greeting, then the current record.
    std::size_t length;
    return binary_frame(length);
}

// Reads frames until a binary one; its payload length goes to length.
bool control_channel::binary_frame(std::size_t& length)
{
    auto need = [&](std::size_t n) {
        while (pending.size() < n) {
            std::uint8_t chunk[4096];
            ssize_t got = recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0)
                return false;
            pending.insert(pending.end(), chunk, chunk + got);
        }
        return true;
    };
    for (;;) {
        if (!need(2))
            return false;
        std::size_t header = 2;
        std::uint64_t payload = pending[1] & 0x7F;
        if (payload == 126) {
            header = 4;
            if (!need(header))
                return false;
            payload = (pending[2] << 8) | pending[3];
        } else if (payload == 127) {
            return false; // nothing the program sends is that long
        }
        if (!need(header + payload))
            return false;
        const std::uint8_t opcode = pending[0] & 0x0F;
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(header + payload));
        if (opcode == 0x2) {
            length = payload;
            return true;
        }
    }
}

bool control_channel::command(const std::uint8_t* payload, std::size_t length)
{
    std::vector<std::uint8_t> out{0x82, static_cast<std::uint8_t>(0x80 | length), 0x12, 0x34, 0x56, 0x78};
    for (std::size_t i = 0; i < length; ++i)
        out.push_back(payload[i] ^ out[2 + i % 4]);
    if (!send_all(fd, out))
        return false;
    std::size_t echoed;
    return binary_frame(echoed) && echoed == length;
}

bool control_channel::join()
{
    std::uint8_t payload[86] = {};
    auto text = [&](std::size_t offset, const char* value) {
        std::memcpy(payload + offset, value, std::strlen(value));
    };
    text(0, "bench-site-data");
    text(16, "Benchmark room");
    text(48, "bench-owner");
    text(64, room_nick);
    const std::uint8_t address[6] = {room_port >> 8, room_port & 0xFF, 127, 0, 0, 1};
    for (int i = 0; i < 6; ++i)
        payload[80 + i] = address[i] ^ 0xC7;
    return command(payload, sizeof payload);
}

bool control_channel::leave()
{
    return command(nullptr, 0);
}

void control_channel::close_channel()
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

} // namespace bench
