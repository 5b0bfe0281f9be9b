// News of MIDI ports coming and going, carried from the back end's thread to the thread of
// the object that listens, where it arrives as one signal per burst.
#pragma once

#include "MidiServices.h"

#include <QObject>
#include <atomic>
#include <memory>

// Lives on the user-interface thread, where Changed is emitted. News that arrives while an
// earlier one waits to be handed over joins it. Listens to one set of services at a time.
class TMidiPortNews : public QObject {
    Q_OBJECT
public:
    explicit TMidiPortNews(QObject *parent = nullptr) : QObject(parent) {}
    ~TMidiPortNews() override { Watch(nullptr); }

    // Listens to `services` (null: to none) instead of the ones before.
    void Watch(std::shared_ptr<TMidiServices> services);

signals:
    void Changed();

private:
    std::shared_ptr<TMidiServices> FServices;
    int FListener = 0;
    std::shared_ptr<std::atomic<bool>> FWaiting = std::make_shared<std::atomic<bool>>(false);
};
