#include "OscServer.h"

#include <lo/lo.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

bool TOscPeer::operator==(const TOscPeer &other) const
{
    if (Address.ss_family != other.Address.ss_family)
        return false;
    if (Address.ss_family == AF_INET) {
        const auto &a = reinterpret_cast<const sockaddr_in &>(Address), &b = reinterpret_cast<const sockaddr_in &>(other.Address);
        return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
    }
    if (Address.ss_family == AF_INET6) {
        const auto &a = reinterpret_cast<const sockaddr_in6 &>(Address), &b = reinterpret_cast<const sockaddr_in6 &>(other.Address);
        return a.sin6_port == b.sin6_port && std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0;
    }
    return Length == other.Length && std::memcmp(&Address, &other.Address, Length) == 0;
}

void TOscTally::Count(TReason reason, std::string_view example)
{
    FCounts[reason].fetch_add(1, std::memory_order_relaxed);
    if (example.empty())
        return;
    const size_t n = std::min(example.size(), ExampleSize - 1);
    std::lock_guard lock(FLock);
    std::memcpy(FExamples[reason], example.data(), n);
    FExamples[reason][n] = 0;
}

TOscTally::TTotals TOscTally::Totals() const
{
    TTotals t;
    std::lock_guard lock(FLock);
    for (int r = 0; r < ReasonCount; ++r) {
        t.Counts[r] = FCounts[r].load(std::memory_order_relaxed);
        t.Examples[r] = FExamples[r];
    }
    return t;
}

TOscServer::TOscServer() : FQueue(new TOscRecord[QueueSize]), FScratch(new TOscRecord) {}

TOscServer::~TOscServer()
{
    Stop();
}

QString TOscServer::Start(const QString &host, uint16_t port)
{
    Stop();
    const std::string node = host.trimmed().isEmpty() ? std::string("127.0.0.1") : host.trimmed().toStdString();
    const std::string service = std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (const int e = ::getaddrinfo(node.c_str(), service.c_str(), &hints, &found); e != 0)
        return QStringLiteral("%1: %2").arg(QString::fromStdString(node), QString::fromLocal8Bit(::gai_strerror(e)));
    int error = 0;
    for (addrinfo *a = found; a && FSocket < 0; a = a->ai_next) {
        const int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (s < 0) {
            error = errno;
            continue;
        }
        if (::bind(s, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            ::close(s);
            continue;
        }
        FSocket = s;
    }
    ::freeaddrinfo(found);
    if (FSocket < 0)
        return QStringLiteral("%1 port %2: %3").arg(QString::fromStdString(node)).arg(port).arg(QString::fromLocal8Bit(std::strerror(error)));
    // A burst waits in the kernel rather than being lost while the reader is not scheduled.
    const int buffer = 1 << 20;
    ::setsockopt(FSocket, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(FSocket, reinterpret_cast<sockaddr *>(&bound), &length);
    FPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(bound).sin6_port
                                              : reinterpret_cast<sockaddr_in &>(bound).sin_port);
    if (::pipe2(FStop, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int e = errno;
        ::close(FSocket);
        FSocket = -1;
        return QString::fromLocal8Bit(std::strerror(e));
    }
    FThread = std::thread([this] { Run(); });
    return {};
}

void TOscServer::Stop()
{
    if (FSocket < 0)
        return;
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(FStop[1], &byte, 1);
    FThread.join();
    ::close(FSocket);
    ::close(FStop[0]);
    ::close(FStop[1]);
    FSocket = FStop[0] = FStop[1] = -1;
    FPort = 0;
}

void TOscServer::Run()
{
    std::vector<char> buffer(PacketSize);
    pollfd fds[2] = {{FSocket, POLLIN, 0}, {FStop[0], POLLIN, 0}};
    while (true) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents)
            return;
        while (true) {
            TOscPeer from;
            from.Length = sizeof from.Address;
            // MSG_TRUNC: the datagram's whole length, so that a cut one is known as such.
            const ssize_t n = ::recvfrom(FSocket, buffer.data(), buffer.size(), MSG_TRUNC,
                                         reinterpret_cast<sockaddr *>(&from.Address), &from.Length);
            if (n < 0)
                break; // EAGAIN: all read; anything else: poll again
            FReceived.fetch_add(1, std::memory_order_relaxed);
            if (size_t(n) > buffer.size())
                FTally.Count(TOscTally::Oversized);
            else
                Packet(buffer.data(), size_t(n), from, 0);
        }
    }
}

void TOscServer::Packet(char *data, size_t size, const TOscPeer &from, int depth)
{
    static constexpr char BundleTag[8] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0};
    if (size < 8 || std::memcmp(data, BundleTag, 8) != 0) {
        Message(data, size, from);
        return;
    }
    // A bundle: its time tag is not waited for, its messages are taken as they come.
    if (depth > 8 || size < 16) {
        FTally.Count(TOscTally::NotOsc);
        return;
    }
    for (size_t at = 16; at < size;) {
        uint32_t length;
        if (size - at < 4) {
            FTally.Count(TOscTally::NotOsc);
            return;
        }
        std::memcpy(&length, data + at, 4);
        length = ntohl(length);
        at += 4;
        if (length > size - at || length % 4 != 0) {
            FTally.Count(TOscTally::NotOsc);
            return;
        }
        Packet(data + at, length, from, depth + 1);
        at += length;
    }
}

void TOscServer::Message(char *data, size_t size, const TOscPeer &from)
{
    int result = 0;
    lo_message message = size > 0 ? lo_message_deserialise(data, size, &result) : nullptr;
    if (!message) {
        FTally.Count(TOscTally::NotOsc);
        return;
    }
    const std::string_view address(data); // a valid message starts with its address
    // Every command takes at most one value: two arguments stand for "too many".
    TOscArg args[2];
    const int argc = std::min(lo_message_get_argc(message), 2);
    const char *types = lo_message_get_types(message);
    lo_arg **argv = lo_message_get_argv(message);
    for (int i = 0; i < argc; ++i) {
        args[i].Type = types[i];
        switch (types[i]) {
        case LO_INT32: args[i].Int = OscArgValue<int32_t>(argv[i]); break;
        case LO_INT64: args[i].Int = OscArgValue<int64_t>(argv[i]); break;
        case LO_FLOAT: args[i].Real = OscArgValue<float>(argv[i]); break;
        case LO_DOUBLE: args[i].Real = OscArgValue<double>(argv[i]); break;
        default: break;
        }
    }
    TOscRecord &record = *FScratch;
    record.Command = ParseOscCommand(address, std::span<const TOscArg>(args, size_t(argc)));
    lo_message_free(message);
    switch (record.Command.Problem) {
    case TOscProblem::None:
        break;
    case TOscProblem::UnknownAddress:
        FTally.Count(TOscTally::UnknownAddress, address);
        return;
    case TOscProblem::WrongArguments:
        FTally.Count(TOscTally::WrongArguments, address);
        return;
    case TOscProblem::NameTooLong:
        FTally.Count(TOscTally::NameTooLong, address);
        return;
    }
    if (record.Command.Kind == TOscKind::None)
        return;
    record.From = from;
    Push(record);
}

void TOscServer::Push(const TOscRecord &record)
{
    const size_t head = FHead.load(std::memory_order_relaxed);
    if (head - FTail.load(std::memory_order_acquire) >= QueueSize) {
        FTally.Count(TOscTally::Dropped);
        return;
    }
    FQueue[head % QueueSize] = record;
    FHead.store(head + 1, std::memory_order_release);
    if (!FWakePending.exchange(true, std::memory_order_acq_rel) && OnArrival)
        OnArrival();
}

bool TOscServer::Pop(TOscRecord &record)
{
    const size_t tail = FTail.load(std::memory_order_relaxed);
    if (tail == FHead.load(std::memory_order_acquire))
        return false;
    record = FQueue[tail % QueueSize];
    FTail.store(tail + 1, std::memory_order_release);
    return true;
}

bool TOscServer::Send(const TOscPeer &to, const char *path, void *message)
{
    if (FSocket < 0)
        return false;
    const auto m = static_cast<lo_message>(message);
    size_t size = lo_message_length(m, path);
    std::vector<char> data(size);
    lo_message_serialise(m, path, data.data(), &size);
    return ::sendto(FSocket, data.data(), size, MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&to.Address), to.Length) ==
           ssize_t(size);
}
