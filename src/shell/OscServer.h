// The OSC socket: a UDP socket bound to one address, read by a thread of its own that only
// parses what arrives (liblo's message reader) into fixed-size commands and queues them for
// the user-interface thread. The queue is bounded: a flood fills it, and what does not fit is
// dropped and counted, so that memory stays flat whatever arrives.
#pragma once

#include "OscCommand.h"

#include <QString>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <thread>

// liblo hands arguments out where they sit in the packet, at 4-byte offsets, while its lo_arg
// union asks for 8: a value is read by copying its bytes, never through the union.
template <typename T>
T OscArgValue(const void *arg)
{
    T value;
    std::memcpy(&value, arg, sizeof value);
    return value;
}

// Where a message came from: replies go back there.
struct TOscPeer {
    sockaddr_storage Address{};
    socklen_t Length = 0;
    bool operator==(const TOscPeer &other) const;
};

struct TOscRecord {
    TOscCommand Command;
    TOscPeer From;
};

// The messages that did nothing, by reason, with the address of the last one of each reason.
// Any thread.
class TOscTally {
public:
    enum TReason { UnknownAddress, WrongArguments, NameTooLong, NotOsc, Oversized, Dropped, NoSuchSlot, NoSuchControl, SubscribersFull, ReasonCount };
    void Count(TReason reason, std::string_view example = {});
    struct TTotals {
        uint64_t Counts[ReasonCount] = {};
        std::string Examples[ReasonCount];
    };
    TTotals Totals() const;
    uint64_t Ignored(TReason reason) const { return FCounts[reason].load(std::memory_order_relaxed); }
    static constexpr size_t ExampleSize = 64;

private:
    std::atomic<uint64_t> FCounts[ReasonCount] = {};
    mutable std::mutex FLock; // the examples only
    char FExamples[ReasonCount][ExampleSize] = {};
};

class TOscServer {
public:
    static constexpr size_t QueueSize = 4096;  // records; about 1.3 MB, made once
    static constexpr size_t PacketSize = 8192; // larger datagrams are counted and dropped
    TOscServer();
    ~TOscServer();
    TOscServer(const TOscServer &) = delete;
    TOscServer &operator=(const TOscServer &) = delete;

    // Binds to `host` (a numeric address or a name; empty: 127.0.0.1) and `port` (0: any free
    // port) and starts reading. Empty on success, else why not, in a few words.
    QString Start(const QString &host, uint16_t port);
    // Ends the thread and closes the socket; idempotent.
    void Stop();
    bool Running() const { return FSocket >= 0; }
    uint16_t Port() const { return FPort; }

    // Called on the network thread when records arrive while no wake-up is pending; set before Start.
    std::function<void()> OnArrival;
    // The consumer takes the pending wake-up before it empties the queue, so that a record
    // queued meanwhile wakes it again.
    void ArrivalTaken() { FWakePending.store(false, std::memory_order_release); }
    // The oldest queued record; false when none. One consumer thread.
    bool Pop(TOscRecord &record);
    // Sends one message from the listening socket; dropped when the socket's buffer is full.
    // Any one thread besides the reader.
    bool Send(const TOscPeer &to, const char *path, void *message /* lo_message */);

    TOscTally &Tally() { return FTally; }
    // Datagrams read since the start, whatever they held.
    uint64_t Received() const { return FReceived.load(std::memory_order_relaxed); }

private:
    void Run();
    void Packet(char *data, size_t size, const TOscPeer &from, int depth);
    void Message(char *data, size_t size, const TOscPeer &from);
    void Push(const TOscRecord &record);

    int FSocket = -1;
    int FStop[2] = {-1, -1};
    uint16_t FPort = 0;
    std::thread FThread;
    std::unique_ptr<TOscRecord[]> FQueue;
    // Single producer (the reader) and single consumer: positions only grow.
    std::atomic<size_t> FHead{0}, FTail{0};
    std::atomic<bool> FWakePending{false};
    std::atomic<uint64_t> FReceived{0};
    TOscTally FTally;
    std::unique_ptr<TOscRecord> FScratch; // the reader's record being filled
};
