// MIDI learn: which controller of which channel turns which knob or button of a patch, and the
// soft takeover ("pick up") that keeps a controller from making a control jump to where the
// controller happens to stand.
#pragma once

#include "RemoteControl.h"

#include <QString>
#include <vector>

// One entry as a patch file writes it: "CHANNEL CONTROLLER MODULE.PROPERTY" ("1 7 Amp0.KnobAmpValue").
struct TMidiMapText {
    int Channel = 0, Controller = 0;
    QString Module, Property;
};
// False for anything but two numbers (channel 1-16, controller 0-127) and a module and
// property name split at the last dot, each separated by one blank.
bool ParseMidiMapLine(const QString &line, TMidiMapText &out);
QString FormatMidiMapLine(const TMidiMapText &entry);
// A control's name for menus and lists, from its property: "KnobAmpValue" -> "Amp",
// "ButtonGateDown" -> "Gate", "K3" -> "K3".
QString ControlCaption(const char *property);

// A controller bound to a control. The control is resolved when the binding is made, so a
// message finds it without a search; the range is read again for each message, as some
// modules change a knob's range while the patch runs.
struct TMidiBinding {
    int Channel = 1;    // 1-16
    int Controller = 0; // 0-127
    TControlRef Ref;
    // Soft takeover: the controller drives the control once it has met or passed the
    // control's value, until something else moves the control (it then no longer holds
    // Applied, the value the controller gave it last).
    bool Engaged = false;
    bool HasLast = false;
    int32_t LastTarget = 0; // the value the controller's last message stood for
    int32_t Applied = 0;

    QString ModuleName() const { return Ref.Module->Name(); }
    const char *Property() const { return Ref.Control->Property(); }
};

// The bindings of one patch, in the order they were made (the order a file lists them in).
// A control has at most one binding; one controller may drive several controls. Owned by the
// draw sheet; user-interface thread, changed and applied under the patch lock.
class TKorMidiMap {
public:
    const std::vector<TMidiBinding> &Bindings() const { return FBindings; }
    bool Empty() const { return FBindings.empty(); }
    int IndexOf(const TKorCustomModule *module, QByteArrayView property) const;
    // The binding of a control (a knob or button of a module of this patch), or null.
    const TMidiBinding *BindingOf(const TKorCustomDetail *control) const;
    // Binds a control, replacing its earlier binding in place; a new binding goes to `at`
    // (the end when out of range). False, changing nothing, when the module has no control
    // for `property` or channel or controller is out of range.
    bool Bind(TKorCustomModule &module, QByteArrayView property, int channel, int controller, int at = -1);
    // Removes the control's binding; its former index, or -1 when it had none.
    int Forget(const TKorCustomModule *module, QByteArrayView property);
    // Removes every binding of a module that leaves the patch.
    void ForgetModule(const TKorCustomModule *module);
    void Clear() { FBindings.clear(); }
    // A control change (status 0xB0-0xBF) sets every control bound to its channel and
    // controller: at once, or with pickUp only once the controller has met the control's
    // value. True when a control took a new value. Allocates nothing.
    bool Apply(uint32_t message, bool pickUp);

private:
    std::vector<TMidiBinding> FBindings;
};
