// Undo and redo of a slot's edits. A step records only what it touches: the saved form of the
// modules it adds or removes with their cables, the settings of the modules it changes, or one
// cable. Undoing a one-module edit so costs the same on a sheet of ten modules as of ten thousand.
#pragma once

#include "Modules.h"

#include <QUndoCommand>
#include <QVariantList>
#include <vector>

class TKorSlot;

// A module as a step keeps it: its places among the sheet's children (the order a patch file
// lists them in) and in run order, its name, and its saved form.
struct TModuleRecord {
    int ChildIndex = 0, RunIndex = 0;
    QString Name, ClassName;
    QByteArray Stream;
};

// A cable by the child indexes of its modules and connectors, and its place in the cable list.
struct TCableRecord {
    int Index = 0;
    int FromModule = 0, FromConnector = 0, ToModule = 0, ToConnector = 0;
};

// A MIDI controller binding of one of a fragment's modules: its place in the sheet's map and
// its module's child index.
struct TBindingRecord {
    int Index = 0, Module = 0;
    QByteArray Property;
    int Channel = 1, Controller = 0;
};

// Some modules with every cable that touches them and their MIDI controller bindings, as they
// stood on the sheet.
struct TFragment {
    std::vector<TModuleRecord> Modules;   // ascending child index
    std::vector<TCableRecord> Cables;     // ascending cable index
    std::vector<TBindingRecord> Bindings; // ascending map index
};

// Records `modules` (any order, all owned by `sheet`). Linear in the sheet's size.
TFragment CaptureFragment(const TKorDrawSheet &sheet, const std::vector<TKorCustomModule *> &modules);
// Frees the fragment's modules, and with them their cables. Under a structural edit. Raises
// EModule, changing nothing, when a module or cable is not where the fragment has it.
void RemoveFragment(TKorDrawSheet &sheet, const TFragment &fragment);
// Makes the fragment's modules and cables again, each at its recorded place and under its
// recorded name where that is free. Under a structural edit.
void RestoreFragment(TKorDrawSheet &sheet, const TFragment &fragment);
TCableRecord RecordCable(const TKorConnector *from, const TKorConnector *to, int index);

// Every writable published property of a module but its name, in declaration order.
QVariantList ModuleSettings(const TKorCustomModule &module);
void SetModuleSettings(TKorCustomModule &module, const QVariantList &settings);

// One module's settings before and after a step. The settings are written by position, so
// they go only to a module of the class they were read from.
struct TSettingsChange {
    int ChildIndex = 0;
    QString ClassName;
    QVariantList Before, After;
};

// The id of a placement's steps: the step that adds a module from the palette takes in the
// move that drops it, while nothing came between them (QUndoCommand::mergeWith).
constexpr int PlacementStepId = 1;

// The base of a slot's steps. A step is pushed once its edit has happened, so the first redo
// that QUndoStack::push makes does nothing. Applying runs under the patch lock, and the slot
// records nothing meanwhile. A step that does not fit the patch is never half-trusted: the
// slot is told (TKorSlot::StepFailed) and nothing escapes into QUndoStack.
class TSlotStep : public QUndoCommand {
public:
    TSlotStep(TKorSlot &slot, const QString &text) : QUndoCommand(text), FSlot(slot) {}
    void redo() final;
    void undo() final;

protected:
    virtual void Apply(TKorDrawSheet &sheet, bool forward) = 0;
    TKorSlot &FSlot; // owns the stack that owns the step

private:
    void Run(bool forward);
    bool FPushed = false;
};

// Modules with their cables added (paste, a module placed) or removed (delete, cut).
// `placement`, when not 0, numbers the palette placement that added the one module.
class TFragmentStep : public TSlotStep {
public:
    TFragmentStep(TKorSlot &slot, const QString &text, TFragment fragment, bool added, uint64_t placement = 0)
        : TSlotStep(slot, text), FFragment(std::move(fragment)), FAdded(added), FPlacement(placement)
    {
    }
    uint64_t Placement() const { return FPlacement; }
    int id() const override { return FPlacement ? PlacementStepId : -1; }
    // Takes in the drop of its own placement: the module is then added where it was dropped.
    bool mergeWith(const QUndoCommand *other) override;

protected:
    void Apply(TKorDrawSheet &sheet, bool forward) override;

private:
    TFragment FFragment;
    bool FAdded;
    uint64_t FPlacement;
};

// Settings of some modules changed (moved, a knob turned, a button pressed, a title).
// `placement`, when not 0, makes it the drop of that palette placement.
class TSettingsStep : public TSlotStep {
public:
    TSettingsStep(TKorSlot &slot, const QString &text, std::vector<TSettingsChange> changes, uint64_t placement = 0)
        : TSlotStep(slot, text), FChanges(std::move(changes)), FPlacement(placement)
    {
    }
    uint64_t Placement() const { return FPlacement; }
    int id() const override { return FPlacement ? PlacementStepId : -1; }

protected:
    void Apply(TKorDrawSheet &sheet, bool forward) override;

private:
    std::vector<TSettingsChange> FChanges;
    uint64_t FPlacement;
};

// Where a control's MIDI binding stands before or after a step: none, or at Index of the map.
struct TBindingState {
    bool Bound = false;
    int Index = 0, Channel = 1, Controller = 0;
};
// The state of the binding of the control standing for `property` of `module`.
TBindingState BindingState(const TKorMidiMap &map, const TKorCustomModule &module, QByteArrayView property);

// A control's MIDI controller bound, bound anew or forgotten.
class TBindingStep : public TSlotStep {
public:
    TBindingStep(TKorSlot &slot, const QString &text, int childIndex, QString className, QByteArray property,
                 TBindingState before, TBindingState after)
        : TSlotStep(slot, text), FChildIndex(childIndex), FClassName(std::move(className)),
          FProperty(std::move(property)), FBefore(before), FAfter(after)
    {
    }

protected:
    void Apply(TKorDrawSheet &sheet, bool forward) override;

private:
    int FChildIndex;
    QString FClassName;
    QByteArray FProperty;
    TBindingState FBefore, FAfter;
};

// One cable made or broken.
class TCableStep : public TSlotStep {
public:
    TCableStep(TKorSlot &slot, const QString &text, TCableRecord cable, bool made)
        : TSlotStep(slot, text), FCable(cable), FMade(made)
    {
    }

protected:
    void Apply(TKorDrawSheet &sheet, bool forward) override;

private:
    TCableRecord FCable;
    bool FMade;
};

// "Move", "Title" or "Change NAME", from what differs between the settings before and after.
QString SettingsStepText(const TKorCustomModule &module, const QVariantList &before, const QVariantList &after);
// "Delete module" / "Delete 3 modules" and the like.
QString ModulesStepText(const QString &verb, int count);
