// Copy and paste of modules: the selection travels through the system clipboard as the
// binary object stream of a temporary sheet, under a MIME type of Korvane's own.
#include "Dialogs.h"
#include "DrawSheet.h"
#include "ObjectStream.h"
#include "Registry.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <map>

namespace {

const QString ModulesMimeType = QStringLiteral("application/x-korvane-modules");

TKorCustomModule *ModuleOf(const TKorConnector *c)
{
    return qobject_cast<TKorCustomModule *>(c->Owner());
}

// The connector of `copy` at the child index `original` has in its own module.
TKorConnector *Counterpart(const TKorConnector *original, const TKorCustomModule *copy)
{
    const int index = original->ComponentIndex();
    return index >= 0 && index < copy->ComponentCount() ? qobject_cast<TKorConnector *>(copy->Components(index))
                                                         : nullptr;
}

// Remakes, among `copies`, every cable of `from` whose two modules were copied, in list order.
void CopyCables(TKorConnections &from, TKorConnections &to, const std::map<const TKorCustomModule *, TKorCustomModule *> &copies)
{
    const TKorConnections::TBatch batch(to);
    for (int i = 0; i < from.Count(); ++i) {
        const TKorConnection *cable = from.Items(i);
        const auto a = copies.find(ModuleOf(cable->From)), b = copies.find(ModuleOf(cable->To));
        if (a == copies.end() || b == copies.end())
            continue;
        TKorConnector *f = Counterpart(cable->From, a->second), *t = Counterpart(cable->To, b->second);
        if (f && t)
            to.Toggle(f, t);
    }
}

} // namespace

void TKorDrawSheet::CopySelection()
{
    auto copy = CreateOwned<TKorDrawSheet>();
    std::map<const TKorCustomModule *, TKorCustomModule *> copies;
    for (TKorCustomModule *m : FModules) {
        if (!m->Selected())
            continue;
        // Through the object stream, so the copy holds whatever a saved patch would.
        copies[m] = static_cast<TKorCustomModule *>(ReadComponent(WriteComponent(*m), nullptr, copy.get()));
    }
    CopyCables(FConnections, copy->Connections(), copies);
    auto *data = new QMimeData;
    data->setData(ModulesMimeType, WriteComponent(*copy));
    QGuiApplication::clipboard()->setMimeData(data);
}

void TKorDrawSheet::PasteClipboard()
{
    for (TKorCustomModule *m : FModules)
        m->SetSelected(false);
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    if (!data || !data->hasFormat(ModulesMimeType)) {
        Dialogs().ShowMessage(QStringLiteral("Clipboard has no modules."));
        return;
    }
    auto holder = CreateOwned<TComponent>();
    auto *pasted = qobject_cast<TKorDrawSheet *>(ReadComponent(data->data(ModulesMimeType), nullptr, holder.get()));
    if (!pasted) {
        Dialogs().ShowMessage(QStringLiteral("Clipboard has no modules."));
        return;
    }
    pasted->ResolveConnections();
    const TBulkEdit bulk(*this);
    std::map<const TKorCustomModule *, TKorCustomModule *> copies;
    DragState.Creating = true;
    try {
        for (int i = 0; i < pasted->ModuleCount(); ++i) {
            TKorCustomModule *source = pasted->Modules(i);
            TOwned<TKorCustomModule> made(
                static_cast<TKorCustomModule *>(CreateComponent(FindModuleClass(source->ClassName()), nullptr)));
            ReadComponent(WriteComponent(*source), made.get());
            made->SetSelected(true);
            made->SetBeingCreated(false);
            TKorCustomModule *m = made.release();
            InsertComponent(m);
            copies[source] = m;
            m->SetName(m->GetUniqueName()); // made without owner, so still nameless
        }
    } catch (...) {
        DragState.Creating = false;
        throw;
    }
    DragState.Creating = false;
    CopyCables(pasted->Connections(), FConnections, copies);
    InvalidateArea(ClientRect(), true);
}
