// nimbrel-bench: measures the program as a relay against the direct
// connection, haproxy and socat, all in one run, and prints one table.
//
//   nimbrel-bench [--quick] [--runs N] [--program PATH] [--doc FILE.md] [--chart FILE.svg]
//
// Environment: BENCH_QUICK=1, BENCH_RUNS=N, BENCH_PROGRAM=PATH, BENCH_DOC,
// BENCH_CHART, BENCH_ONLY (runs only the workloads whose name holds it, e.g.
// "s2c 16,38"). The chart is throughput against packet size; the doc gets the
// tables between its marker lines. It uses fixed
// loopback ports (the program's own among them), so run it in a network
// namespace of its own: `make bench` does. Exit status 1 when any peer failed
// a workload (the table names it), 2 when it cannot run at all.
#include "bench.h"

#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <thread>

namespace bench {
namespace {

struct settings {
    bool quick = false;
    int runs = 5;
    std::uint64_t bulk_bytes = 256ull << 20;
    int round_trips = 20000;
    int status_pings = 2000;
    int time_limit_s = 0; // set from the mode and the number of runs
    std::string program = "build/nimbrel-client";
    std::string doc;   // a Markdown file whose marked section gets the tables
    std::string chart; // where the sweep's SVG chart goes
    std::string only;  // runs only the workloads whose name holds this
};

settings config;

// results[row][peer] holds one value per run.
std::map<std::string, std::map<std::string, std::vector<double>>> results;

const char* const peer_names[] = {"direct", "haproxy", "socat", "nimbrel"};
const char memory_row[] = "peak resident memory, VmHWM (KiB)";

void note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void note(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "[bench] ");
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

double percentile(std::vector<double> samples, double fraction)
{
    if (samples.empty())
        return NAN;
    std::sort(samples.begin(), samples.end());
    auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(samples.size())));
    return samples[std::min(samples.size() - 1, rank == 0 ? 0 : rank - 1)];
}

double median(std::vector<double> values)
{
    return percentile(std::move(values), 0.5);
}

// ---- one connection of the benchmark's game client ----

struct session {
    int fd = -1;
    std::optional<reader> in;
    ~session()
    {
        if (fd >= 0)
            close(fd);
    }
    // A fresh connection in place of any earlier one; false when refused.
    bool connect(std::uint16_t port)
    {
        if (fd >= 0)
            close(fd);
        fd = connect_loopback(port);
        if (fd >= 0)
            in.emplace(fd);
        return fd >= 0;
    }
    // Handshake (next state 2), Login Start with a UUID as recent clients
    // send it, and the server's login success.
    bool open(std::uint16_t port)
    {
        const bytes uuid = {0x01, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                            0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
        bytes body;
        return connect(port) && send_all(fd, cat({handshake(2), login_start(client_name, uuid)})) &&
               in->packet(body) && body[0] == id_login_success;
    }
    // Through the program the room server must see the room's nick.
    bool open_checked(relay& r)
    {
        if (!open(r.port))
            return false;
        if (r.name == "nimbrel" && room_server_last_login() != room_nick) {
            note("nimbrel: the room server saw the name \"%s\", not the room's nick",
                 room_server_last_login().c_str());
            return false;
        }
        return true;
    }
    bool command(op kind, std::uint64_t count, std::uint32_t size)
    {
        bytes body(14);
        body[0] = id_command;
        body[1] = static_cast<std::uint8_t>(kind);
        put_u64(body.data() + 2, count);
        std::memcpy(body.data() + 10, &size, 4);
        return send_all(fd, frame(body));
    }
};

// Closes the connection and waits until the room server has seen it end, so
// that the next workload starts on a quiet relay (the program serves one game
// client at a time).
bool finish(session& s, relay& r, std::uint64_t done_before, bool server_involved = true)
{
    close(s.fd);
    s.fd = -1;
    bool ok = !server_involved || room_server_wait(done_before, io_timeout_s * 1000);
    r.settle();
    return ok;
}

std::nullopt_t failed(const relay& r, const char* what)
{
    note("%s: %s (%s)", r.name.c_str(), what,
         errno == 0        ? "closed by the other side"
         : errno == EAGAIN ? "timed out"
                           : std::strerror(errno));
    return std::nullopt;
}

// For bytes that arrived but were not the ones sent.
std::nullopt_t corrupted(const relay& r, const char* what)
{
    note("%s: %s", r.name.c_str(), what);
    return std::nullopt;
}

struct bulk_result {
    double mib_per_s;
    double cpu_per_gib;
};

std::uint64_t packet_count(std::uint32_t body)
{
    const std::uint64_t framed = framed_size(body);
    return (config.bulk_bytes + framed - 1) / framed;
}

std::optional<bulk_result> bulk(relay& r, op direction, std::uint32_t body)
{
    const std::uint64_t count = packet_count(body);
    const double total = static_cast<double>(count * framed_size(body));
    const std::uint64_t done_before = room_server_done();
    const double cpu_before = r.cpu_seconds();
    session s;
    if (!s.open_checked(r))
        return failed(r, "no login success after handshake and Login Start");
    auto start = clock::now();
    if (!s.command(direction, count, body))
        return failed(r, "command not sent");
    if (direction == op::s2c_bulk) {
        frame_check check(body, id_s2c_data);
        if (!check.consume(*s.in, count))
            return failed(r, "server-to-client stream ended early");
        if (check.bad || check.packets != count)
            return corrupted(r, "server-to-client stream corrupted");
    } else {
        if (!send_data_packets(s.fd, id_c2s_data, body, count))
            return failed(r, "client-to-server stream not accepted");
        bytes ack;
        if (!s.in->packet(ack) || ack.size() != 10 || ack[0] != id_c2s_ack)
            return failed(r, "no acknowledgement from the room server");
        if (ack[9] != 0 || get_u64(ack.data() + 1) != count)
            return corrupted(r, "client-to-server stream corrupted");
    }
    const double elapsed = seconds_since(start);
    r.sample_memory();
    if (!finish(s, r, done_before))
        return failed(r, "the room server did not see the connection end");
    const double cpu = r.cpu_seconds() - cpu_before;
    return bulk_result{total / (1 << 20) / elapsed, cpu / (total / (1 << 30))};
}

std::optional<std::vector<double>> round_trips(relay& r)
{
    const std::uint64_t done_before = room_server_done();
    session s;
    if (!s.open_checked(r))
        return failed(r, "no login success after handshake and Login Start");
    bytes body(32, 0xCD);
    body[0] = id_echo;
    bytes packet = frame(body);
    bytes echoed;
    std::vector<double> samples;
    const int warm_up = 200;
    for (int i = 0; i < config.round_trips + warm_up; ++i) {
        put_u64(packet.data() + 2, static_cast<std::uint64_t>(i));
        auto start = clock::now();
        if (!send_all(s.fd, packet) || !s.in->packet(echoed))
            return failed(r, "echo not returned");
        const double elapsed = seconds_since(start);
        if (echoed.size() != 32 || echoed[0] != id_echo ||
            get_u64(echoed.data() + 1) != static_cast<std::uint64_t>(i))
            return corrupted(r, "echo corrupted");
        if (i >= warm_up)
            samples.push_back(elapsed * 1e6);
    }
    if (!finish(s, r, done_before))
        return failed(r, "the room server did not see the connection end");
    return samples;
}

// Handshake (next state 1) and status request in one write, the status
// response, then the ping and its pong: what the game's server list does.
// The standby server answers one request per connection, so there the ping
// goes on a second connection, as the game's list then does too.
std::optional<std::vector<double>> status_pings(relay& r, bool standby)
{
    const bytes request = cat({handshake(1), frame({0x00})});
    const bytes ping = frame({0x01, 1, 2, 3, 4, 5, 6, 7, 8});
    const bytes ping_alone = cat({handshake(1), ping});
    std::vector<double> samples;
    const int warm_up = 20;
    for (int i = 0; i < config.status_pings + warm_up; ++i) {
        const std::uint64_t done_before = room_server_done();
        bytes body;
        auto start = clock::now();
        session s;
        if (!s.connect(r.port))
            return failed(r, "connection refused");
        if (!send_all(s.fd, request) || !s.in->packet(body, 64 * 1024) || body[0] != 0x00)
            return failed(r, "no status response");
        if (standby && !s.connect(r.port))
            return failed(r, "second connection refused");
        if (!send_all(s.fd, standby ? ping_alone : ping))
            return failed(r, "ping not sent");
        if (!s.in->packet(body) || !std::equal(body.begin(), body.end(), ping.begin() + 1, ping.end()))
            return corrupted(r, "pong missing or wrong");
        const double elapsed = seconds_since(start);
        if (!finish(s, r, done_before, !standby))
            return failed(r, "the room server did not see the connection end");
        if (i >= warm_up)
            samples.push_back(elapsed * 1e6);
    }
    return samples;
}

// ---- the run ----

struct workload {
    std::string name; // short, for the progress notes
    std::function<bool(relay&)> run;
};

void record(const std::string& row, const std::string& peer, double value)
{
    results[row][peer].push_back(value);
}

// The rows "<what> p50 (µs)" and "<what> p99 (µs)".
bool record_latency(const std::string& what, const relay& r,
                    const std::optional<std::vector<double>>& samples)
{
    if (!samples)
        return false;
    record(what + " p50 (µs)", r.name, percentile(*samples, 0.5));
    record(what + " p99 (µs)", r.name, percentile(*samples, 0.99));
    return true;
}

// The packet sizes of the bulk sweep (body bytes), with their labels.
struct sweep_point {
    op direction;
    std::uint32_t body;
    const char* label;
};

const sweep_point sweep[] = {
    {op::s2c_bulk, 64, "64 B"},        {op::s2c_bulk, 1024, "1 KiB"},     {op::s2c_bulk, 8192, "8 KiB"},
    {op::s2c_bulk, 16000, "16,000 B"}, {op::s2c_bulk, 16384, "16,384 B"}, {op::s2c_bulk, 16385, "16,385 B"},
    {op::s2c_bulk, 20000, "20,000 B"}, {op::s2c_bulk, 24000, "24,000 B"}, {op::s2c_bulk, 32768, "32 KiB"},
    {op::s2c_bulk, 65536, "64 KiB"},   {op::s2c_bulk, 1u << 20, "1 MiB"}, {op::c2s_bulk, 256, "256 B"},
    {op::c2s_bulk, 16385, "16,385 B"}, {op::c2s_bulk, 65536, "64 KiB"},
};

std::string sweep_row(const sweep_point& p)
{
    return std::string(p.direction == op::s2c_bulk ? "server to client, " : "client to server, ") + p.label;
}

std::vector<workload> workloads()
{
    std::vector<workload> list;
    for (const sweep_point& p : sweep) {
        const std::string row = sweep_row(p);
        list.push_back({std::string(p.direction == op::s2c_bulk ? "s2c " : "c2s ") + p.label, [=](relay& r) {
                            auto result = bulk(r, p.direction, p.body);
                            if (!result)
                                return false;
                            record(row, r.name, result->mib_per_s);
                            if (r.pid > 0)
                                record("CPU " + row, r.name, result->cpu_per_gib);
                            return true;
                        }});
    }
    list.push_back(
        {"round trip", [](relay& r) { return record_latency("round trip 32 B", r, round_trips(r)); }});
    list.push_back(
        {"status ping", [](relay& r) { return record_latency("status ping", r, status_pings(r, false)); }});
    return list;
}

struct program_state {
    relay* r = nullptr;
    control_channel channel;
    bool joined = false;
    int restarts = 0;
    bool unusable = false; // it cannot be driven at all: no point retrying
};

program_state program;

bool program_ready()
{
    relay& r = *program.r;
    if (r.pid > 0 && r.alive() && program.joined)
        return true;
    if (r.pid > 0 && !r.alive()) {
        note("the program has exited; starting it again");
        r.failure = "the program exited during the run (see its log)";
        ++program.restarts;
    }
    if (program.unusable || program.restarts > 2)
        return false;
    program.channel.close_channel();
    program.joined = false;
    if (r.pid <= 0 || !r.alive()) {
        r.stop();
        r.pid = -1;
        r.exited = false;
        if (!start_program(r, config.program)) {
            program.unusable = true;
            return false;
        }
    }
    if (!program.channel.open()) {
        r.failure = "the browser channel did not open";
        program.unusable = true;
        return false;
    }
    program.joined = program.channel.join();
    if (!program.joined) {
        r.failure = "the room join was not echoed";
        program.unusable = true;
    }
    return program.joined;
}

void run_standby(relay& r)
{
    if (!program_ready() || !program.channel.leave()) {
        note("nimbrel: could not leave the room for the standby ping");
        program.joined = false;
        return;
    }
    if (!record_latency("status ping, standby (no room)", r, status_pings(r, true)))
        note("nimbrel: standby status ping failed");
    program.joined = program.channel.join();
}

// ---- output ----

void appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    out += text;
}

// The median of a row for a peer; NAN when it has none.
double value(const std::string& row, const std::string& peer)
{
    auto found = results[row].find(peer);
    return found == results[row].end() ? NAN : median(found->second);
}

std::string number(double x, const char* format)
{
    if (std::isnan(x))
        return "";
    char text[64];
    std::snprintf(text, sizeof text, format, x);
    return text;
}

// nimbrel's median over the other's, from this run.
std::string ratio(const std::string& row, const std::string& peer)
{
    const double theirs = value(row, peer);
    return theirs > 0 ? number(value(row, "nimbrel") / theirs, "%.2f") : "";
}

// A row's label, the peers' medians, then the given cells.
std::vector<std::string> peer_cells(const std::string& row, std::initializer_list<std::string> more)
{
    std::vector<std::string> cells{row};
    for (const char* peer : peer_names)
        cells.push_back(number(value(row, peer), "%.0f"));
    cells.insert(cells.end(), more);
    return cells;
}

// A Markdown table: the first column left-aligned, the others right-aligned.
void table(std::string& out, const std::vector<std::string>& heading,
           const std::vector<std::vector<std::string>>& rows)
{
    auto line = [&](const std::vector<std::string>& cells) {
        out += "|";
        for (const std::string& cell : cells)
            out += " " + cell + " |";
        out += "\n";
    };
    line(heading);
    out += "|---|";
    for (std::size_t i = 1; i < heading.size(); ++i)
        out += "---:|";
    out += "\n";
    for (const auto& row : rows)
        line(row);
}

std::string first_line(const std::string& path, const std::string& prefix)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0)
            return line.substr(line.find(':') + 2);
    }
    return "?";
}

std::string load_average()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string today()
{
    std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d", std::gmtime(&now));
    return text;
}

std::string tables(const std::vector<relay*>& relays, const std::string& load_before, double elapsed)
{
    std::string out;
    utsname system{};
    uname(&system);
    appendf(out, "Relay benchmark, %s mode, %d run%s, medians; %s.\n\n", config.quick ? "quick" : "full",
            config.runs, config.runs == 1 ? "" : "s", today().c_str());
    appendf(out, "Machine: %s, %ld online CPUs, Linux %s; load average before %s, after %s; %.0f s.\n",
            first_line("/proc/cpuinfo", "model name").c_str(), sysconf(_SC_NPROCESSORS_ONLN), system.release,
            load_before.c_str(), load_average().c_str(), elapsed);
    appendf(out, "Bulk: %llu MiB per workload; %d round trips; %d status pings per run.\n\n",
            static_cast<unsigned long long>(config.bulk_bytes >> 20), config.round_trips,
            config.status_pings);

    using cells = std::vector<std::string>;
    std::vector<cells> bulk_rows;
    for (const sweep_point& p : sweep) {
        const std::string row = sweep_row(p);
        bulk_rows.push_back(peer_cells(
            row, {ratio(row, "haproxy"), number(value("CPU " + row, "haproxy"), "%.2f"),
                  number(value("CPU " + row, "nimbrel"), "%.2f"), ratio("CPU " + row, "haproxy")}));
    }
    table(out,
          {"bulk, packet body", "direct", "haproxy", "socat", "nimbrel (MiB/s)", "nimbrel / haproxy",
           "CPU s/GiB haproxy", "CPU s/GiB nimbrel", "CPU nimbrel / haproxy"},
          bulk_rows);

    for (relay* r : relays) {
        if (r->peak_kib > 0)
            record(memory_row, r->name, static_cast<double>(r->peak_kib));
    }
    std::vector<cells> other_rows;
    for (const char* row : {"round trip 32 B p50 (µs)", "round trip 32 B p99 (µs)", "status ping p50 (µs)",
                            "status ping p99 (µs)", "status ping, standby (no room) p50 (µs)",
                            "status ping, standby (no room) p99 (µs)", memory_row})
        other_rows.push_back(peer_cells(row, {ratio(row, "haproxy"), ratio(row, "direct")}));
    out += "\n";
    table(out,
          {"latency and memory", "direct", "haproxy", "socat", "nimbrel", "nimbrel / haproxy",
           "nimbrel / direct"},
          other_rows);
    out += "\nRatios: nimbrel's median over the other's median from this run. Throughput: above 1 is faster "
           "than the other; times, CPU and memory: below 1 is better. CPU is user + system time of the relay "
           "process (socat: with its per-connection children). An empty cell: not applicable or failed.\n";
    if (config.quick)
        out += "Quick mode: CPU time is counted in 10 ms ticks, too coarse for these amounts.\n";
    for (relay* r : relays) {
        if (!r->failure.empty())
            appendf(out, "\n%s: %s.\n", r->name.c_str(), r->failure.c_str());
    }
    return out;
}

// Throughput against packet size, server to client, one line per peer: x is
// the body size on a log scale, y MiB/s from 0.
std::string chart()
{
    const double width = 760, height = 420, left = 64, right = 120, top = 40, bottom = 56;
    const double plot_w = width - left - right, plot_h = height - top - bottom;
    std::vector<const sweep_point*> points;
    double top_value = 1;
    for (const sweep_point& p : sweep) {
        if (p.direction != op::s2c_bulk)
            continue;
        points.push_back(&p);
        for (const char* peer : peer_names) {
            const double v = value(sweep_row(p), peer);
            if (!std::isnan(v))
                top_value = std::max(top_value, v);
        }
    }
    const double step = top_value > 4000 ? 1000 : top_value > 1500 ? 500 : top_value > 600 ? 200 : 100;
    const double y_max = std::ceil(top_value / step) * step;
    const double lo = std::log2(points.front()->body), hi = std::log2(points.back()->body);
    auto x_of = [&](double body) { return left + (std::log2(body) - lo) / (hi - lo) * plot_w; };
    auto y_of = [&](double v) { return top + plot_h - v / y_max * plot_h; };

    std::string out;
    appendf(
        out,
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" font-family=\"sans-serif\" "
        "font-size=\"12\">\n<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
        width, height);
    appendf(out,
            "<text x=\"%.0f\" y=\"22\" font-size=\"14\">Server to client: MiB/s against packet body size "
            "(medians of %d runs, %s)</text>\n",
            left, config.runs, today().c_str());
    for (double v = 0; v <= y_max; v += step) {
        appendf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", left,
                y_of(v), left + plot_w, y_of(v));
        appendf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%.0f</text>\n", left - 6, y_of(v) + 4,
                v);
    }
    const std::pair<double, const char*> ticks[] = {{64, "64 B"},      {1024, "1 KiB"},   {8192, "8 KiB"},
                                                    {16384, "16 KiB"}, {65536, "64 KiB"}, {1 << 20, "1 MiB"}};
    for (const auto& [body, label] : ticks) {
        appendf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", x_of(body),
                top, x_of(body), top + plot_h);
        appendf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", x_of(body),
                top + plot_h + 18, label);
    }
    appendf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">packet body (log scale)</text>\n",
            left + plot_w / 2, height - 12);
    const char* const colours[] = {"#888888", "#d95f02", "#7570b3", "#1b9e77"};
    for (std::size_t k = 0; k < std::size(peer_names); ++k) {
        std::string line;
        for (const sweep_point* p : points) {
            const double v = value(sweep_row(*p), peer_names[k]);
            if (std::isnan(v))
                continue;
            appendf(line, "%.1f,%.1f ", x_of(p->body), y_of(v));
            appendf(out, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2.5\" fill=\"%s\"/>\n", x_of(p->body), y_of(v),
                    colours[k]);
        }
        appendf(out, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"2\" points=\"%s\"/>\n", colours[k],
                line.c_str());
        appendf(out, "<text x=\"%.1f\" y=\"%.1f\" fill=\"%s\">%s</text>\n", left + plot_w + 12,
                top + 16 + 18 * static_cast<double>(k), colours[k], peer_names[k]);
    }
    out += "</svg>\n";
    return out;
}

// Puts text between the marker lines of the Markdown file at path.
bool write_doc(const std::string& path, const std::string& text)
{
    static const std::string begin = "<!-- bench: begin -->\n", end = "<!-- bench: end -->\n";
    std::ifstream in(path);
    std::string doc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t from = doc.find(begin), to = doc.find(end);
    if (from == std::string::npos || to == std::string::npos || to < from)
        return false;
    doc.replace(from + begin.size(), to - from - begin.size(), "\n" + text + "\n");
    std::ofstream out(path);
    return static_cast<bool>(out << doc);
}

bool write_file(const std::string& path, const std::string& text)
{
    std::ofstream out(path);
    return static_cast<bool>(out << text);
}

bool own_network_namespace()
{
    std::ifstream devices("/proc/net/dev");
    std::string line;
    int row = 0;
    bool only_loopback = true;
    while (std::getline(devices, line)) {
        if (++row <= 2)
            continue; // headings
        std::string name = line.substr(0, line.find(':'));
        name.erase(0, name.find_first_not_of(' '));
        if (name != "lo")
            only_loopback = false;
    }
    return row > 2 && only_loopback;
}

void watchdog(int limit_s)
{
    std::this_thread::sleep_for(std::chrono::seconds(limit_s));
    std::fprintf(stderr, "[bench] time limit of %d s reached; stopping (logs in %s)\n", limit_s,
                 temp_dir().c_str());
    stop_all_processes();
    _exit(3);
}

void stop_on_signal(int)
{
    stop_all_processes();
    remove_temp_dir();
    _exit(130);
}

// An environment variable's value; null when it is unset or empty.
const char* env(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

void parse(int argc, char** argv)
{
    const struct {
        const char* variable;
        const char* option; // null: no option
        std::string* field;
    } texts[] = {{"BENCH_PROGRAM", "--program", &config.program},
                 {"BENCH_DOC", "--doc", &config.doc},
                 {"BENCH_CHART", "--chart", &config.chart},
                 {"BENCH_ONLY", nullptr, &config.only}};
    if (const char* quick = env("BENCH_QUICK"))
        config.quick = std::strcmp(quick, "0") != 0;
    const char* runs = env("BENCH_RUNS");
    for (const auto& t : texts) {
        if (const char* value = env(t.variable))
            *t.field = value;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        const auto* text = std::find_if(std::begin(texts), std::end(texts),
                                        [&](const auto& t) { return t.option && arg == t.option; });
        if (arg == "--quick") {
            config.quick = true;
        } else if (arg == "--runs" && has_value) {
            runs = argv[++i];
        } else if (text != std::end(texts) && has_value) {
            *text->field = argv[++i];
        } else {
            std::fprintf(
                stderr,
                "usage: %s [--quick] [--runs N] [--program PATH] [--doc FILE.md] [--chart FILE.svg]\n",
                argv[0]);
            std::exit(2);
        }
    }
    if (runs)
        config.runs = std::atoi(runs);
    if (config.quick) {
        config.bulk_bytes = 16ull << 20;
        config.round_trips = 2000;
        config.status_pings = 200;
        if (!runs)
            config.runs = 1;
    }
    config.runs = std::clamp(config.runs, 1, 9);
    // One full run takes about a minute on a quiet machine: room for a busy one.
    config.time_limit_s = config.quick ? 120 + 60 * config.runs : 300 + 300 * config.runs;
}

} // namespace
} // namespace bench

int main(int argc, char** argv)
{
    using namespace bench;
    parse(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, stop_on_signal);
    signal(SIGTERM, stop_on_signal);
    std::thread(watchdog, config.time_limit_s).detach();

    // Refuse to share ports with anything else on this machine: a namespace
    // made for the benchmark has no interface but the loopback.
    if (!own_network_namespace()) {
        std::fprintf(stderr,
                     "run in a network namespace of its own (the program's ports are fixed), e.g. "
                     "scripts/netns.sh %s\n",
                     argv[0]);
        return 2;
    }
    int probe = listen_loopback(program_game_port);
    if (probe < 0) {
        std::fprintf(stderr,
                     "port %u is taken: run in a network namespace of its own, e.g. "
                     "scripts/netns.sh %s\n",
                     program_game_port, argv[0]);
        return 2;
    }
    close(probe);

    const std::string load_before = load_average();
    const auto started = clock::now();
    room_server_start();

    relay direct{"direct", room_port};
    relay haproxy{"haproxy", haproxy_port};
    relay socat{"socat", socat_port};
    relay ours{"nimbrel", program_game_port};
    if (!start_haproxy(haproxy))
        haproxy.failure = "haproxy did not start";
    if (!start_socat(socat))
        socat.failure = "socat did not start";
    program.r = &ours;
    if (!program_ready())
        note("nimbrel: %s", ours.failure.c_str());
    std::vector<relay*> relays{&direct, &haproxy, &socat, &ours};

    const auto list = workloads();
    for (int run = 0; run < config.runs; ++run) {
        note("run %d of %d", run + 1, config.runs);
        for (const auto& w : list) {
            if (w.name.find(config.only) == std::string::npos)
                continue;
            for (std::size_t k = 0; k < relays.size(); ++k) {
                // A different peer goes first in every run, so that a slow
                // phase of the machine does not always fall on the same one.
                relay& r = *relays[(k + static_cast<std::size_t>(run)) % relays.size()];
                if (&r == &ours && !program_ready())
                    continue;
                if (&r != &ours && &r != &direct && (r.pid <= 0 || !r.alive()))
                    continue;
                auto start = clock::now();
                bool ok = w.run(r);
                note("  %-11s %-8s %s in %.1f s", w.name.c_str(), r.name.c_str(), ok ? "done" : "FAILED",
                     seconds_since(start));
                if (!ok && r.failure.empty())
                    r.failure = "failed " + w.name + " (see the notes above)";
            }
        }
        if (program_ready())
            run_standby(ours);
    }
    for (relay* r : relays)
        r->sample_memory();
    if (!ours.failure.empty())
        note("logs kept in %s", temp_dir().c_str());
    const std::string text = tables(relays, load_before, seconds_since(started));
    std::printf("\n%s", text.c_str());
    if (!config.chart.empty() && !write_file(config.chart, chart()))
        note("could not write the chart to %s", config.chart.c_str());
    if (!config.doc.empty() && !write_doc(config.doc, text))
        note("could not write the tables into %s (between <!-- bench: begin --> and <!-- bench: end -->)",
             config.doc.c_str());

    program.channel.close_channel();
    for (relay* r : relays)
        r->stop();
    room_server_stop();
    if (ours.failure.empty())
        remove_temp_dir();
    for (relay* r : relays) {
        if (!r->failure.empty())
            return 1;
    }
    return 0;
}
