// qz470-probe serve against a real kernel's hidraw, with a transceiver made
// through /dev/uhid; runs inside the qemu VM as the harness's test program,
// with the probe copied in beside it and named by QZ_PROBE (see
// docs/PERFORMANCE.md for the command). Under umockdev-wrapper it runs on
// the host instead, with a transceiver that umockdev emulates.
//
// 1. Delay: for presses sent at random moments, from the write to /dev/uhid
//    to the moment each reader has the press: the real `qz470-probe watch
//    --json` (its line read from a pipe), then the real `qz470-probe serve`
//    with 1 client and with 50 (each frame read from its socket). No LED
//    traffic. The benchmark is every reader, in one thread that wakes for
//    each line or frame; on one CPU those wake-ups take turns with serve.
//    So serve is measured a second way too: the moment the kernel put each
//    frame into its client's socket (SO_TIMESTAMPNS), while the benchmark
//    sleeps until all are there.
// 2. Idle: the processor time and wake-ups of every thread of serve over
//    60 s, with the transceiver and 50 clients connected.
#include "child_process.h"
#include "measure.h"
#include "raw_http.h"
#include "reports.h"
#include "serve_bench_descriptors.h"
#include "uhid_device.h"
#include "umockdev_bed.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using qz::bench::Percentile;
using qz::test::RawConnection;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint16_t kFrameModel = 0x1003;
const qz::test::Bytes kFrameDescriptor(
    std::begin(qz::embedded::kTransceiver1003), std::end(qz::embedded::kTransceiver1003));

// Sends one press's input report from the transceiver.
using Sender = std::function<void(const qz::test::Bytes&)>;

double MsSince(Clock::time_point then)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - then).count();
}

void Report(const char* what, const std::vector<double>& delays)
{
    std::printf("%-32s %6zu samples: min %.3f ms, p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", what, delays.size(),
        Percentile(delays, 0), Percentile(delays, 50), Percentile(delays, 99), Percentile(delays, 100));
}

// The gaps between presses: a uniform 1 to 20 ms, the same for every reader.
std::vector<std::chrono::microseconds> Gaps(int presses)
{
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> gapUs(1000, 20000);
    std::vector<std::chrono::microseconds> gaps;
    for (int i = 0; i < presses; ++i) {
        gaps.emplace_back(gapUs(random));
    }
    return gaps;
}

std::vector<double> MeasureWatch(const char* probe, const Sender& send, int presses)
{
    std::vector<double> delays;
    auto watch = qz::test::ChildProcess::Start({probe, "watch", "--json"});
    if (!watch || !watch->ReadLine()) {
        std::printf("watch did not connect\n");
        return delays;
    }
    for (const auto gap : Gaps(presses)) {
        std::this_thread::sleep_for(gap);
        const Clock::time_point sent = Clock::now();
        send(qz::test::FrameData(5, qz::test::kA));
        if (!watch->ReadLine(5s)) {
            break;
        }
        delays.push_back(MsSince(sent));
    }
    watch->Signal(SIGINT);
    watch->Wait();
    return delays;
}

struct Served {
    std::unique_ptr<qz::test::ChildProcess> process;
    std::uint16_t port = 0;
};

Served StartServe(const char* probe)
{
    Served served;
    served.process = qz::test::ChildProcess::Start({probe, "serve", "--port", "0"});
    const std::string local = "http://127.0.0.1:";
    for (int i = 0; served.process && i < 100 && served.port == 0; ++i) {
        served.process->ReadLine(100ms);
        const std::string& err = served.process->Stderr();
        if (const std::size_t at = err.find(local);
            at != std::string::npos && err.find('\n', at) != std::string::npos) {
            served.port = static_cast<std::uint16_t>(std::stoi(err.substr(at + local.size())));
        }
    }
    return served;
}

std::vector<std::unique_ptr<RawConnection>> Connect(std::uint16_t port, int count)
{
    std::vector<std::unique_ptr<RawConnection>> clients;
    for (int i = 0; i < count; ++i) {
        auto client = RawConnection::Open("127.0.0.1", port);
        if (!client
            || !client->Write(qz::test::GetRequest("/ws", "127.0.0.1:" + std::to_string(port), std::nullopt, true))
            || client->ReadResponse().value_or(qz::test::HttpResponse {}).status != 101 || !client->ReadFrame()) {
            std::printf("client %d did not connect\n", i);
            return {};
        }
        clients.push_back(std::move(client));
    }
    return clients;
}

// Every client's delay for every press: the moment the benchmark, woken by
// epoll for it, has read its frame.
std::vector<double> MeasureClients(
    std::vector<std::unique_ptr<RawConnection>>& clients, const Sender& send, int presses)
{
    std::vector<double> delays;
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    for (std::size_t c = 0; c < clients.size(); ++c) {
        epoll_event event {EPOLLIN, {.u64 = c}};
        ::epoll_ctl(poller, EPOLL_CTL_ADD, clients[c]->Fd(), &event);
    }
    std::vector<epoll_event> ready(clients.size());
    for (const auto gap : Gaps(presses)) {
        std::this_thread::sleep_for(gap);
        const Clock::time_point sent = Clock::now();
        send(qz::test::FrameData(5, qz::test::kA));
        std::size_t waiting = clients.size();
        int n = 0;
        while (waiting > 0 && (n = ::epoll_wait(poller, ready.data(), static_cast<int>(ready.size()), 5000)) > 0) {
            for (int i = 0; i < n; ++i) {
                RawConnection& client = *clients[ready[static_cast<std::size_t>(i)].data.u64];
                client.ReadAvailable();
                if (client.TakeFrame()) {
                    delays.push_back(MsSince(sent));
                    --waiting;
                }
            }
        }
        if (waiting > 0) {
            std::printf("%zu clients got no frame\n", waiting);
            break;
        }
    }
    ::close(poller);
    return delays;
}

double MsBetween(const timespec& from, const timespec& to)
{
    return static_cast<double>(to.tv_sec - from.tv_sec) * 1e3 + static_cast<double>(to.tv_nsec - from.tv_nsec) / 1e6;
}

// One frame (a text frame: 0x81, in one segment), and when the kernel put it
// into the socket (SO_TIMESTAMPNS, CLOCK_REALTIME).
std::optional<timespec> ReadStamped(int fd)
{
    pollfd look {fd, POLLIN, 0};
    char data[512];
    alignas(cmsghdr) char control[256];
    iovec io {data, sizeof data};
    msghdr message {};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::poll(&look, 1, 5000) != 1 || ::recvmsg(fd, &message, 0) <= 0 || static_cast<unsigned char>(data[0]) != 0x81) {
        return std::nullopt;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec at {};
            std::memcpy(&at, CMSG_DATA(c), sizeof at);
            return at;
        }
    }
    return std::nullopt;
}

// Every client's delay for every press: the moment the kernel put its frame
// into the client's socket, read afterwards from the receive timestamp
// (CLOCK_REALTIME), while the benchmark slept.
std::vector<double> MeasureSockets(
    std::vector<std::unique_ptr<RawConnection>>& clients, const Sender& send, int presses)
{
    std::vector<double> delays;
    for (const auto& client : clients) {
        const int on = 1;
        ::setsockopt(client->Fd(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    }
    for (const auto gap : Gaps(presses)) {
        std::this_thread::sleep_for(gap);
        timespec sent {};
        ::clock_gettime(CLOCK_REALTIME, &sent);
        send(qz::test::FrameData(5, qz::test::kA));
        std::this_thread::sleep_for(50ms);
        for (const auto& client : clients) {
            const auto at = ReadStamped(client->Fd());
            if (!at) {
                std::printf("a client got no frame\n");
                return delays;
            }
            delays.push_back(MsBetween(sent, *at));
        }
    }
    return delays;
}

// The floor under serve's fan-out: the same frame written by a plain loop of
// send() calls to 50 loopback TCP connections of the benchmark's own, from
// the first send to each frame in its socket (receive time stamps, as above).
std::vector<double> MeasureFloor(int clients, int rounds)
{
    std::vector<double> delays;
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener, clients) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return delays;
    }
    std::vector<std::unique_ptr<RawConnection>> readers;
    std::vector<int> writers;
    const int on = 1;
    for (int c = 0; c < clients; ++c) {
        readers.push_back(RawConnection::Open("127.0.0.1", ntohs(address.sin_port)));
        writers.push_back(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        ::setsockopt(writers.back(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::setsockopt(readers.back()->Fd(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    }
    const std::string frame = "\x81\x5d" + std::string(0x5d, 'x'); // a text frame of a press's size
    for (int round = 0; round < rounds; ++round) {
        std::this_thread::sleep_for(5ms);
        timespec sent {};
        ::clock_gettime(CLOCK_REALTIME, &sent);
        for (const int writer : writers) {
            ::send(writer, frame.data(), frame.size(), 0);
        }
        std::this_thread::sleep_for(20ms);
        for (const auto& reader : readers) {
            const auto at = ReadStamped(reader->Fd());
            if (!at) {
                return delays;
            }
            delays.push_back(MsBetween(sent, *at));
        }
    }
    for (const int writer : writers) {
        ::close(writer);
    }
    ::close(listener);
    return delays;
}

} // namespace

int main(int argc, char** argv)
{
    const char* probe = qz::bench::ProbeFromEnvironment();
    if (probe == nullptr) {
        return 2;
    }
    const int presses = argc > 1 ? std::atoi(argv[1]) : 500;
    std::unique_ptr<qz::test::UhidDevice> uhid;
    std::unique_ptr<qz::test::HidTestBed> bed;
    Sender send;
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload != nullptr && std::strstr(preload, "umockdev") != nullptr) {
        bed = std::make_unique<qz::test::HidTestBed>();
        const int master = bed->Master(bed->Add("1-2", 0x0003, kFrameModel, kFrameDescriptor, "hidraw1"));
        send = [master](const qz::test::Bytes& data) { qz::test::SendAtMaster(master, data); };
        std::printf("on the host, with a transceiver that umockdev emulates\n");
    } else {
        if (!qz::test::EnterPrivateNetwork()) {
            std::printf("no network namespace with loopback up could be made\n");
            return 1;
        }
        uhid = std::make_unique<qz::test::UhidDevice>(kFrameModel, kFrameDescriptor);
        send = [&uhid](const qz::test::Bytes& data) { uhid->Send(data); };
    }

    // Each reader twice, in turn, so that a slow moment of the host falls on
    // all of them alike; serve runs only while its clients are measured (an
    // emulated node hands each report to one reader only).
    std::vector<double> watch;
    std::vector<double> one;
    std::vector<double> fifty;
    std::vector<double> oneSocket;
    std::vector<double> fiftySockets;
    const auto add = [](std::vector<double>& to, const std::vector<double>& from) {
        to.insert(to.end(), from.begin(), from.end());
    };
    for (int pass = 0; pass < 2; ++pass) {
        add(watch, MeasureWatch(probe, send, presses / 2));
        Served served = StartServe(probe);
        if (served.port == 0) {
            std::printf("serve did not start: %s\n", served.process ? served.process->Stderr().c_str() : "");
            return 1;
        }
        auto single = Connect(served.port, 1);
        add(one, MeasureClients(single, send, presses / 2));
        add(oneSocket, MeasureSockets(single, send, presses / 4));
        single.clear();
        auto many = Connect(served.port, 50);
        add(fifty, MeasureClients(many, send, presses / 2));
        add(fiftySockets, MeasureSockets(many, send, presses / 4));
        many.clear();
        served.process->Signal(SIGINT);
        served.process->Wait();
    }
    std::printf("From the report written to the press read, %d presses a reader:\n", presses);
    Report("watch --json (its line)", watch);
    Report("serve, 1 client", one);
    Report("serve, 50 clients (every frame)", fifty);
    std::printf("From the report written to the frame in the client's socket, %d presses:\n", presses / 2);
    Report("serve, 1 client", oneSocket);
    Report("serve, 50 clients (every frame)", fiftySockets);
    std::printf("The floor of a fan-out to 50 sockets, from the first send to the frame in the socket:\n");
    Report("50 plain send() calls", MeasureFloor(50, presses / 2));

    Served served = StartServe(probe);
    // Idle: nothing but the connections.
    auto idle = Connect(served.port, 50);
    std::this_thread::sleep_for(2s);
    const auto before = qz::bench::UsageOfThreads(served.process->Pid());
    std::this_thread::sleep_for(60s);
    const auto after = qz::bench::UsageOfThreads(served.process->Pid());
    std::printf("serve idle, transceiver and %zu clients connected, 60 s: %lld us of CPU, %lld wake-ups, in %d "
                "thread(s)\n",
        idle.size(), (after.usage.cpuNs - before.usage.cpuNs) / 1000, after.usage.wakeUps - before.usage.wakeUps,
        after.threads);

    served.process->Signal(SIGINT);
    served.process->Wait();
    std::printf("%s", served.process->Stderr().c_str());
    return 0;
}
