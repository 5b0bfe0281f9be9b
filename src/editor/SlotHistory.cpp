#include "SlotHistory.h"

#include "Slot.h"

#include <QMetaProperty>
#include <algorithm>
#include <unordered_map>

namespace {

TKorCustomModule *ModuleOf(const TKorConnector *c)
{
    return qobject_cast<TKorCustomModule *>(c->Owner());
}

EModule Mismatch(const QString &what)
{
    return EModule(QStringLiteral("The history does not match the patch: %1").arg(what));
}

// The module at a child index, of class `className` when one is given.
TKorCustomModule *ModuleAt(const TKorDrawSheet &sheet, int childIndex, const QString &className = QString())
{
    auto *m = childIndex >= 0 && childIndex < sheet.ComponentCount()
                  ? qobject_cast<TKorCustomModule *>(sheet.Components(childIndex))
                  : nullptr;
    if (!m)
        throw Mismatch(QStringLiteral("no module at %1").arg(childIndex));
    if (!className.isEmpty() && m->ClassName() != className)
        throw Mismatch(QStringLiteral("%1 at %2 is no %3").arg(m->Name()).arg(childIndex).arg(className));
    return m;
}

TKorConnector *ConnectorAt(const TKorDrawSheet &sheet, int module, int connector)
{
    TKorCustomModule *m = ModuleAt(sheet, module);
    auto *c = connector >= 0 && connector < m->ComponentCount() ? qobject_cast<TKorConnector *>(m->Components(connector))
                                                                 : nullptr;
    if (!c)
        throw Mismatch(QStringLiteral("no connector %1 on %2").arg(connector).arg(m->Name()));
    return c;
}

} // namespace

TCableRecord RecordCable(const TKorConnector *from, const TKorConnector *to, int index)
{
    return {index, ModuleOf(from)->ComponentIndex(), from->ComponentIndex(), ModuleOf(to)->ComponentIndex(),
            to->ComponentIndex()};
}

TFragment CaptureFragment(const TKorDrawSheet &sheet, const std::vector<TKorCustomModule *> &modules)
{
    std::unordered_map<const QObject *, int> childIndex; // every child, for the cables' far ends
    childIndex.reserve(size_t(sheet.ComponentCount()));
    for (int i = 0; i < sheet.ComponentCount(); ++i)
        childIndex.emplace(sheet.Components(i), i);
    std::unordered_map<const TKorCustomModule *, int> chosen;
    chosen.reserve(modules.size());
    for (TKorCustomModule *m : modules)
        chosen.emplace(m, 0);
    for (int i = 0; i < sheet.ModuleCount(); ++i)
        if (auto it = chosen.find(sheet.Modules(i)); it != chosen.end())
            it->second = i;

    TFragment f;
    f.Modules.reserve(modules.size());
    for (int i = 0; i < sheet.ComponentCount(); ++i) {
        auto *m = qobject_cast<TKorCustomModule *>(sheet.Components(i));
        const auto it = m ? chosen.find(m) : chosen.end();
        if (it != chosen.end())
            f.Modules.push_back({i, it->second, m->Name(), m->ClassName(), WriteComponent(*m)});
    }
    for (int i = 0; i < sheet.CableCount(); ++i) {
        const TKorConnector *from = sheet.CableFrom(i), *to = sheet.CableTo(i);
        if (!chosen.contains(ModuleOf(from)) && !chosen.contains(ModuleOf(to)))
            continue;
        f.Cables.push_back({i, childIndex.at(from->Owner()), from->ComponentIndex(), childIndex.at(to->Owner()),
                            to->ComponentIndex()});
    }
    const std::vector<TMidiBinding> &bindings = sheet.MidiMap().Bindings();
    for (size_t i = 0; i < bindings.size(); ++i) {
        const TMidiBinding &b = bindings[i];
        if (chosen.contains(b.Ref.Module))
            f.Bindings.push_back({int(i), childIndex.at(b.Ref.Module), QByteArray(b.Property()), b.Channel, b.Controller});
    }
    return f;
}

void RemoveFragment(TKorDrawSheet &sheet, const TFragment &fragment)
{
    // Everything is checked before anything changes, so a step that does not fit leaves the
    // patch as it was.
    std::vector<TComponent *> modules;
    modules.reserve(fragment.Modules.size());
    for (auto it = fragment.Modules.rbegin(); it != fragment.Modules.rend(); ++it)
        modules.push_back(ModuleAt(sheet, it->ChildIndex, it->ClassName));
    TKorConnections &cables = sheet.Connections();
    for (const TCableRecord &c : fragment.Cables) {
        const TKorConnector *from = ConnectorAt(sheet, c.FromModule, c.FromConnector);
        const TKorConnector *to = ConnectorAt(sheet, c.ToModule, c.ToConnector);
        if (c.Index >= cables.Count() || cables.Items(c.Index)->From != from || cables.Items(c.Index)->To != to)
            throw Mismatch(QStringLiteral("no cable at %1").arg(c.Index));
    }
    // The cables go first, by their recorded places, last first: freeing a module alone would
    // search the whole cable list once per connector.
    const TKorDrawSheet::TBulkEdit bulk(sheet);
    for (auto it = fragment.Cables.rbegin(); it != fragment.Cables.rend(); ++it)
        cables.Remove(it->Index);
    FreeComponents(modules);
    sheet.InvalidateArea(sheet.ClientRect(), true);
}

void RestoreFragment(TKorDrawSheet &sheet, const TFragment &fragment)
{
    const TKorDrawSheet::TBulkEdit bulk(sheet);
    std::vector<std::pair<int, TKorCustomModule *>> byRun;
    std::vector<std::pair<TComponent *, int>> places;
    byRun.reserve(fragment.Modules.size());
    places.reserve(fragment.Modules.size());
    for (const TModuleRecord &r : fragment.Modules) {
        auto *m = static_cast<TKorCustomModule *>(CreateComponent(FindModuleClass(r.ClassName), &sheet));
        if (!sheet.FindComponent(r.Name))
            m->SetName(r.Name);
        ReadComponent(r.Stream, m);
        places.emplace_back(m, r.ChildIndex);
        byRun.emplace_back(r.RunIndex, m);
    }
    sheet.MoveComponents(std::move(places));
    std::sort(byRun.begin(), byRun.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &[index, m] : byRun)
        sheet.MoveInRunOrder(m, index);
    for (const TCableRecord &c : fragment.Cables)
        sheet.InsertConnection(c.Index, ConnectorAt(sheet, c.FromModule, c.FromConnector),
                               ConnectorAt(sheet, c.ToModule, c.ToConnector));
    for (const TBindingRecord &b : fragment.Bindings)
        if (!sheet.MidiMap().Bind(*ModuleAt(sheet, b.Module), b.Property, b.Channel, b.Controller, b.Index))
            throw Mismatch(QStringLiteral("no control %1 for a MIDI controller").arg(QString::fromLatin1(b.Property)));
    sheet.InvalidateArea(sheet.ClientRect(), true);
}

QVariantList ModuleSettings(const TKorCustomModule &module)
{
    const QMetaObject *meta = module.metaObject();
    QVariantList settings;
    settings.reserve(meta->propertyCount());
    for (int i = QObject::staticMetaObject.propertyCount(); i < meta->propertyCount(); ++i)
        if (const QMetaProperty p = meta->property(i); p.isWritable())
            settings << p.read(&module);
    return settings;
}

void SetModuleSettings(TKorCustomModule &module, const QVariantList &settings)
{
    const QMetaObject *meta = module.metaObject();
    qsizetype next = 0;
    for (int i = QObject::staticMetaObject.propertyCount(); i < meta->propertyCount() && next < settings.size(); ++i)
        if (const QMetaProperty p = meta->property(i); p.isWritable())
            p.write(&module, settings[next++]);
}

QString SettingsStepText(const TKorCustomModule &module, const QVariantList &before, const QVariantList &after)
{
    const QMetaObject *meta = module.metaObject();
    QStringList changed;
    qsizetype next = 0;
    for (int i = QObject::staticMetaObject.propertyCount(); i < meta->propertyCount(); ++i) {
        const QMetaProperty p = meta->property(i);
        if (!p.isWritable())
            continue;
        if (next < before.size() && next < after.size() && before[next] != after[next])
            changed << QString::fromLatin1(p.name());
        ++next;
    }
    const auto only = [&](std::initializer_list<const char *> names) {
        return !changed.isEmpty() && std::all_of(changed.begin(), changed.end(), [&](const QString &n) {
            return std::any_of(names.begin(), names.end(), [&](const char *x) { return n == QLatin1String(x); });
        });
    };
    if (only({"Left", "Top"}))
        return QStringLiteral("Move");
    if (only({"Title"}))
        return QStringLiteral("Title");
    return QStringLiteral("Change %1").arg(module.Name());
}

QString ModulesStepText(const QString &verb, int count)
{
    return count == 1 ? QStringLiteral("%1 module").arg(verb) : QStringLiteral("%1 %2 modules").arg(verb).arg(count);
}

void TSlotStep::redo()
{
    if (!FPushed) { // the edit has just happened
        FPushed = true;
        return;
    }
    Run(true);
}

void TSlotStep::undo()
{
    Run(false);
}

void TSlotStep::Run(bool forward)
{
    TKorDrawSheet *sheet = FSlot.Sheet();
    // A slot whose history failed applies none of it until it is cleared.
    if (!sheet || FSlot.HistoryFailed())
        return;
    // QUndoStack is not written for exceptions: whatever a step raises ends here.
    try {
        const TKorSlot::TQuiet quiet(FSlot);
        TStructuralEdit edit(FSlot.Guard());
        try {
            Apply(*sheet, forward);
        } catch (...) {
            sheet->UpdateExtent(); // a part may have been applied
            throw;
        }
        sheet->UpdateExtent();
    } catch (const std::exception &e) {
        FSlot.StepFailed(forward, QString::fromUtf8(e.what()));
    } catch (...) {
        FSlot.StepFailed(forward, QStringLiteral("Unknown error"));
    }
}

void TFragmentStep::Apply(TKorDrawSheet &sheet, bool forward)
{
    if (forward == FAdded)
        RestoreFragment(sheet, FFragment);
    else
        RemoveFragment(sheet, FFragment);
}

bool TFragmentStep::mergeWith(const QUndoCommand *other)
{
    const auto *drop = dynamic_cast<const TSettingsStep *>(other);
    if (!drop || drop->Placement() != FPlacement || !FAdded || FFragment.Modules.size() != 1)
        return false;
    // Nothing came between the placement and its drop, so the module is where this step put it.
    TKorDrawSheet *sheet = FSlot.Sheet();
    if (!sheet)
        return false;
    std::lock_guard lock(FSlot.Guard().Mutex);
    const TModuleRecord &placed = FFragment.Modules.front();
    auto *m = qobject_cast<TKorCustomModule *>(
        placed.ChildIndex < sheet->ComponentCount() ? sheet->Components(placed.ChildIndex) : nullptr);
    if (!m || m->ClassName() != placed.ClassName)
        return false;
    FFragment = CaptureFragment(*sheet, {m});
    return true;
}

void TSettingsStep::Apply(TKorDrawSheet &sheet, bool forward)
{
    std::vector<TKorCustomModule *> modules;
    modules.reserve(FChanges.size());
    for (const TSettingsChange &c : FChanges)
        modules.push_back(ModuleAt(sheet, c.ChildIndex, c.ClassName));
    for (size_t i = 0; i < FChanges.size(); ++i)
        SetModuleSettings(*modules[i], forward ? FChanges[i].After : FChanges[i].Before);
    sheet.InvalidateArea(sheet.ClientRect(), true);
}

TBindingState BindingState(const TKorMidiMap &map, const TKorCustomModule &module, QByteArrayView property)
{
    const int i = map.IndexOf(&module, property);
    if (i < 0)
        return {};
    const TMidiBinding &b = map.Bindings()[size_t(i)];
    return {true, i, b.Channel, b.Controller};
}

void TBindingStep::Apply(TKorDrawSheet &sheet, bool forward)
{
    TKorCustomModule *m = ModuleAt(sheet, FChildIndex, FClassName);
    const TBindingState &state = forward ? FAfter : FBefore;
    if (!state.Bound)
        sheet.MidiMap().Forget(m, FProperty);
    else if (!sheet.MidiMap().Bind(*m, FProperty, state.Channel, state.Controller, state.Index))
        throw Mismatch(QStringLiteral("%1 has no control %2").arg(m->Name(), QString::fromLatin1(FProperty)));
    m->Invalidate(); // its bound controls are marked
}

void TCableStep::Apply(TKorDrawSheet &sheet, bool forward)
{
    TKorConnector *from = ConnectorAt(sheet, FCable.FromModule, FCable.FromConnector);
    TKorConnector *to = ConnectorAt(sheet, FCable.ToModule, FCable.ToConnector);
    const TKorConnections &cables = sheet.Connections();
    const bool exists = cables.IndexOfPair(from, to) >= 0 || cables.IndexOfPair(to, from) >= 0;
    const bool make = forward == FMade;
    // A toggle would quietly do the opposite of the step.
    if (exists == make)
        throw Mismatch(QString::fromLatin1(make ? "a cable from %1.%2 to %3.%4 is there already" : "no cable from %1.%2 to %3.%4")
                           .arg(from->Owner()->Name(), from->Name(), to->Owner()->Name(), to->Name()));
    if (make)
        sheet.InsertConnection(FCable.Index, from, to);
    else
        sheet.ToggleConnection(from, to);
}
