#include "PortWatch.h"

#include "JackRevival.h"

#include <QRegularExpression>
#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char *const WatchClientName = "Korvane (watch)";

void Quiet(const char *) {}

// The ALSA sequencer address ("client:port") at the end of a full port name as RtMidi gives it;
// -1, -1 when there is none.
std::pair<int, int> AlsaAddress(const std::string &full)
{
    static const QRegularExpression numbers(QStringLiteral("(\\d+):(\\d+)$"));
    const QRegularExpressionMatch m = numbers.match(QString::fromStdString(full));
    return m.hasMatch() ? std::pair{m.captured(1).toInt(), m.captured(2).toInt()} : std::pair{-1, -1};
}

// JACK's port registration and rename callbacks, on JACK's notification thread.
class TJackWatch : public TPortWatch {
public:
    TJackWatch(TGone gone, std::function<void()> changed, TJackRevival *revival)
        : FNews(new TNews{std::move(gone), std::move(changed)})
    {
        std::lock_guard lock(JackClientsLock());
        if (JackStuck())
            return;
        FAge = JackOpeningAge();
        jack_status_t status{};
        FClient = jack_client_open(WatchClientName, JackNoStartServer, &status);
        if (!FClient)
            return;
        FNews->Client = FClient;
        jack_set_port_registration_callback(FClient, &TJackWatch::OnRegistration, FNews);
        jack_set_port_rename_callback(FClient, &TJackWatch::OnRename, FNews);
        // The server's end is the revival's to handle, on a thread of its own.
        if (revival)
            FGoneFlag = &revival->Watch(FClient);
        if (jack_activate(FClient) != 0) {
            JackCloseClient(FClient, false);
            FClient = nullptr;
        }
    }
    ~TJackWatch() override
    {
        std::lock_guard lock(JackClientsLock());
        // One whose server let it go is libjack's to free (see TJackRevival::Watch).
        if (!FClient || (JackClientAlive(FAge) && !(FGoneFlag && FGoneFlag->load()) && JackCloseClient(FClient, true))) {
            delete FNews;
            return;
        }
        // Not closed: its notification thread may still be delivering the ended server's last
        // news. It is told to pass them by, and what it reaches stays, for good (a few bytes
        // per server that ended), in a list that keeps it owned.
        FNews->Off.store(true, std::memory_order_seq_cst);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (FNews->Inside.load(std::memory_order_seq_cst) != 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
        Retained().push_back(FNews);
    }

private:
    // What the callbacks reach, apart from the watch, as it may outlive it.
    struct TNews {
        TGone Gone;
        std::function<void()> Changed;
        jack_client_t *Client = nullptr;
        std::atomic<bool> Off{false};
        std::atomic<int> Inside{0};
    };
    // The news of watches whose clients libjack kept. Under JackClientsLock; never freed.
    static std::vector<TNews *> &Retained()
    {
        static auto *retained = new std::vector<TNews *>;
        return *retained;
    }
    // Counts a callback in while it may use the news; false once they are off.
    class TEntry {
    public:
        explicit TEntry(TNews &news) : FNews(news)
        {
            FNews.Inside.fetch_add(1, std::memory_order_seq_cst);
            FLive = FLiveJack && !FNews.Off.load(std::memory_order_seq_cst);
        }
        ~TEntry() { FNews.Inside.fetch_sub(1, std::memory_order_seq_cst); }
        explicit operator bool() const { return FLive; }

    private:
        const TJackCallbackScope FLiveJack;
        TNews &FNews;
        bool FLive;
    };

    static void OnRegistration(jack_port_id_t id, int registered, void *arg)
    {
        auto &news = *static_cast<TNews *>(arg);
        const TEntry live(news);
        if (!live)
            return;
        if (!registered) {
            // JACK still knows the name of a port it has just let go.
            const jack_port_t *port = jack_port_by_id(news.Client, id);
            const char *name = port ? jack_port_name(port) : nullptr;
            const std::string gone = name ? name : "";
            news.Gone([&](const std::string &full) { return gone.empty() || full == gone; });
        }
        news.Changed();
    }
    static void OnRename(jack_port_id_t, const char *oldName, const char *, void *arg)
    {
        auto &news = *static_cast<TNews *>(arg);
        const TEntry live(news);
        if (!live)
            return;
        const std::string gone = oldName ? oldName : "";
        news.Gone([&](const std::string &full) { return gone.empty() || full == gone; });
        news.Changed();
    }

    TNews *const FNews; // deleted with the watch once its client is closed, else left
    unsigned FAge = 0;  // see JackClientsLock
    const std::atomic<bool> *FGoneFlag = nullptr; // the revival's, for this client
    jack_client_t *FClient = nullptr;
};

// The ALSA sequencer's announcements (client 0, port 1), read by a thread of its own through a
// port that only the system may write to.
class TAlsaWatch : public TPortWatch {
public:
    TAlsaWatch(TGone gone, std::function<void()> changed) : FGone(std::move(gone)), FChanged(std::move(changed))
    {
        if (snd_seq_open(&FSeq, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) < 0) {
            FSeq = nullptr;
            return;
        }
        snd_seq_set_client_name(FSeq, WatchClientName);
        const int port = snd_seq_create_simple_port(FSeq, "announce", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                                    SND_SEQ_PORT_TYPE_APPLICATION);
        FStop = eventfd(0, EFD_CLOEXEC);
        if (port < 0 || FStop < 0 ||
            snd_seq_connect_from(FSeq, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0)
            return;
        FThread = std::thread([this] { Run(); });
    }
    ~TAlsaWatch() override
    {
        if (FThread.joinable()) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t w = write(FStop, &one, sizeof one);
            FThread.join();
        }
        if (FStop >= 0)
            close(FStop);
        if (FSeq)
            snd_seq_close(FSeq);
    }

private:
    void Run()
    {
        const int count = snd_seq_poll_descriptors_count(FSeq, POLLIN);
        std::vector<pollfd> fds(size_t(count) + 1);
        snd_seq_poll_descriptors(FSeq, fds.data(), unsigned(count), POLLIN);
        fds.back() = {FStop, POLLIN, 0};
        for (;;) {
            if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
                return;
            if (fds.back().revents != 0)
                return;
            bool news = false;
            snd_seq_event_t *ev = nullptr;
            while (snd_seq_event_input(FSeq, &ev) >= 0 && ev) {
                news = true;
                if (ev->type == SND_SEQ_EVENT_PORT_EXIT || ev->type == SND_SEQ_EVENT_CLIENT_EXIT) {
                    const int client = ev->data.addr.client, port = ev->data.addr.port;
                    const bool whole = ev->type == SND_SEQ_EVENT_CLIENT_EXIT;
                    FGone([&](const std::string &full) {
                        const auto [c, p] = AlsaAddress(full);
                        return c == client && (whole || p == port);
                    });
                }
            }
            if (news)
                FChanged();
        }
    }

    TGone FGone;
    std::function<void()> FChanged;
    snd_seq_t *FSeq = nullptr;
    int FStop = -1;
    std::thread FThread;
};

} // namespace

std::unique_ptr<TPortWatch> MakeJackWatch(TPortWatch::TGone gone, std::function<void()> changed,
                                          TJackRevival *revival)
{
    return std::make_unique<TJackWatch>(std::move(gone), std::move(changed), revival);
}

std::unique_ptr<TPortWatch> MakeAlsaWatch(TPortWatch::TGone gone, std::function<void()> changed)
{
    return std::make_unique<TAlsaWatch>(std::move(gone), std::move(changed));
}

bool JackServerRuns()
{
    jack_set_error_function(Quiet);
    jack_set_info_function(Quiet);
    std::lock_guard lock(JackClientsLock());
    if (JackStuck())
        return false;
    JackOpeningAge();
    jack_status_t status{};
    jack_client_t *probe = jack_client_open("Korvane (probe)", JackNoStartServer, &status);
    return probe && JackCloseClient(probe, false);
}

