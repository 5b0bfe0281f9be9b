#include "MidiPortNews.h"

#include <QPointer>

void TMidiPortNews::Watch(std::shared_ptr<TMidiServices> services)
{
    if (FServices)
        FServices->RemovePortsListener(FListener); // after this the listener runs no more
    FServices = std::move(services);
    if (!FServices)
        return;
    FListener = FServices->AddPortsListener([this, waiting = FWaiting] {
        // One queued call per burst: a restarted program registers several ports at once.
        if (waiting->exchange(true))
            return;
        QMetaObject::invokeMethod(
            this,
            [this, waiting] {
                waiting->store(false);
                emit Changed();
            },
            Qt::QueuedConnection);
    });
}
