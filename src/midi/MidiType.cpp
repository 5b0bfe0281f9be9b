#include "MidiType.h"

#include "CircBuf.h"

#include <QPointer>
#include <cstdio>

namespace {
TMidiMessageHook &Hook()
{
    static TMidiMessageHook hook;
    return hook;
}
} // namespace

void SetMidiMessageHook(TMidiMessageHook hook)
{
    Hook() = std::move(hook);
}

void ShowMidiMessage(const QString &text)
{
    if (Hook())
        Hook()(text);
    else
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

TMyMidiHdr::TMyMidiHdr(uint16_t size)
{
    if (size == 0)
        return;
    FData = std::make_unique<uint8_t[]>(size); // zero-filled
    FHeader = std::make_unique<TMidiHeader>();
    FHeader->Data = FData.get();
    FHeader->BufferLength = size;
}

namespace {
// Frees the buffer of a finished long message unless its report was handled.
struct TPendingBuffer {
    explicit TPendingBuffer(TMidiHeader *header) : Header(header) {}
    TPendingBuffer(const TPendingBuffer &) = delete;
    TPendingBuffer &operator=(const TPendingBuffer &) = delete;
    TMidiHeader *Header;
    ~TPendingBuffer()
    {
        if (Header != nullptr)
            delete static_cast<TMyMidiHdr *>(Header->User);
    }
};
} // namespace

void TMidiWindow::Post(uint32_t message, uintptr_t param)
{
    if (message == MimData || message == MimOverflow) {
        std::atomic<uint32_t> &pending = message == MimData ? FPendingData : FPendingOverflow;
        if (pending.fetch_add(1, std::memory_order_acq_rel) == 0)
            QMetaObject::invokeMethod(this, [this, message] { Flush(message); }, Qt::QueuedConnection);
        return;
    }
    if (message == MomDone) {
        auto pending = std::make_shared<TPendingBuffer>(reinterpret_cast<TMidiHeader *>(param));
        QMetaObject::invokeMethod(
            this,
            [this, pending] {
                TMidiHeader *header = std::exchange(pending->Header, nullptr);
                FOwner.WndProc(MomDone, uintptr_t(header));
            },
            Qt::QueuedConnection);
        return;
    }
    QMetaObject::invokeMethod(this, [this, message, param] { FOwner.WndProc(message, param); },
                              Qt::QueuedConnection);
}

void TMidiWindow::Flush(uint32_t message)
{
    std::atomic<uint32_t> &pending = message == MimData ? FPendingData : FPendingOverflow;
    const uint32_t count = pending.exchange(0, std::memory_order_acq_rel);
    // A handler may free the port, and this window with it.
    const QPointer<TMidiWindow> alive(this);
    for (uint32_t i = 0; i < count && alive; ++i)
        FOwner.WndProc(message, 0);
}

TMidiIO::TMidiIO(QObject *owner, std::shared_ptr<TMidiServices> services)
    : QObject(owner), FServices(services ? std::move(services) : MidiServices()),
      FWindow(std::make_unique<TMidiWindow>(*this))
{
}

TMidiIO::~TMidiIO() = default;

TMidiCtlInfo &TMidiIO::CtlInfo()
{
    if (!FCtlInfo)
        FCtlInfo = std::make_unique<TMidiCtlInfo>();
    return *FCtlInfo;
}

void TMidiIO::MidiCallback(TMidiHandle, uint32_t message, void *user, uintptr_t param1, uintptr_t param2)
{
    auto *info = static_cast<TMidiCtlInfo *>(user);
    if (info == nullptr)
        return;
    if (message == MomDone) {
        if (info->Window != nullptr)
            info->Window->Post(MomDone, param1);
        return;
    }
    if (message != MimData && message != MimLongData && message != MimLongError)
        return;
    if (param1 == 0xF8 && info->DropClock.load(std::memory_order_relaxed))
        return;
    if (param1 == 0xFE && info->DropActiveSensing.load(std::memory_order_relaxed))
        return;
    if (message == MimData && info->SysexOnly.load(std::memory_order_relaxed))
        return;
    TCircularBuffer *ring = info->Buffer.load(std::memory_order_acquire);
    if (ring == nullptr || info->Window == nullptr)
        return;
    TMidiBufferItem item;
    item.Timestamp = uint64_t(param2);
    if (message == MimData)
        item.Data = uint32_t(param1);
    else
        item.Header = reinterpret_cast<TMidiHeader *>(param1);
    info->Window->Post(ring->PutEvent(item) ? MimData : MimOverflow);
}
