// Loading, pasting and deleting many modules at once leave the transport plan, the extent and
// the module count to one pass at the end, and remove cables in one sweep. Each case here does
// the same edit both ways, at once and one module or cable at a time through the single-edit
// calls, and expects the same sheet, cables, reports, messages and tick results.
#include "ObjectStream.h"
#include "TestHost.h"
#include "TestModules.h"

#include <QGuiApplication>
#include <QClipboard>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <functional>

namespace {

struct TMessages : IDialogs {
    QStringList Shown;
    void ShowMessage(const QString &text) override { Shown << text; }
    void ShowError(const QString &text) override { Shown << "error: " + text; }
};

// Sources, pass-throughs spread over the sheet, and cable lines that exercise every rule of
// making cables from a file: a plain cable, a cable between two inputs, a duplicate line that
// breaks the cable again, a reversed line that breaks one too, lines naming a module or a
// connector that is not there, and cables made again after being broken.
const QByteArray Patch = R"(object TKorDrawSheet
  Left = 0
  Top = 0
  Width = 0
  Height = 0
  Connections = (
    'TestSource0.Out TestThrough0.In'
    'TestThrough0.Out TestThrough1.In'
    'TestThrough0.In TestThrough1.In'
    'TestSource0.Out TestThrough2.In'
    'TestSource0.Out TestThrough2.In'
    'TestThrough1.In TestThrough0.Out'
    'Missing0.Out TestThrough1.In'
    'TestThrough1.Out TestThrough2.In'
    'TestThrough1.Nowhere TestThrough2.In'
    'TestSource0.Out TestThrough2.In'
    'TestThrough2.Out TestThrough3.In'
    'TestSource1.Out TestThrough3.In'
    'TestThrough3.Out TestThrough0.In')
  object TestSource0: TKorTestSource
    Left = 0
    Top = 0
  end
  object TestThrough0: TKorTestThrough
    Left = 260
    Top = 0
  end
  object TestThrough1: TKorTestThrough
    Left = 520
    Top = 100
  end
  object TestThrough2: TKorTestThrough
    Left = 1300
    Top = 700
  end
  object TestSource1: TKorTestSource
    Left = 0
    Top = 400
  end
  object TestThrough3: TKorTestThrough
    Left = 780
    Top = 1200
  end
end
)";

// Keeps the cable reports by name: the connectors of deleted modules are gone by the end.
struct TNamingHost : TTestHost {
    QStringList Reports;
    static QString Name(const TKorConnector *c) { return c->Owner()->Name() + "." + c->Name(); }
    void ConnectionMade(TKorConnector *from, TKorConnector *to) override { Reports << "made " + Name(from) + " " + Name(to); }
    void ConnectionLost(TKorConnector *from, TKorConnector *to) override { Reports << "lost " + Name(from) + " " + Name(to); }
};

// One sheet under test with everything it reports.
struct TSide {
    TNamingHost Host;
    TMessages Messages;
    TOwned<TKorDrawSheet> Sheet;

    // Reads Patch; the cables stay pending.
    TSide()
    {
        RegisterTestModules();
        Sheet.reset(static_cast<TKorDrawSheet *>(ReadComponent(ObjectTextToBinary(Patch), nullptr)));
        Sheet->SetHost(&Host);
    }
    // Runs `edit` with the messages it shows going to this side.
    template <class F>
    void Do(F edit)
    {
        SetDialogs(&Messages);
        edit(*Sheet);
        SetDialogs(nullptr);
    }

    // Everything both ways must agree on: the patch text, the cable list with every report,
    // the messages, the extent, and what four ticks carry into every input.
    QStringList State()
    {
        QStringList s{QString::fromUtf8(ObjectBinaryToText(WriteComponent(*Sheet)))};
        s << Host.Reports << Messages.Shown;
        s << QStringLiteral("extent %1 x %2").arg(Sheet->Width()).arg(Sheet->Height());
        s << QStringLiteral("modules %1").arg(Sheet->ModuleCount());
        for (int i = 0; i < Sheet->ModuleCount(); ++i)
            if (auto *source = qobject_cast<TKorTestSource *>(Sheet->Modules(i)))
                source->Next = 100 * (i + 1);
        for (int tick = 0; tick < 4; ++tick) {
            Sheet->Execute();
            QStringList values;
            for (int i = 0; i < Sheet->ModuleCount(); ++i)
                if (auto *through = qobject_cast<TKorTestThrough *>(Sheet->Modules(i)))
                    values << QString::number(through->In->Value());
            s << "tick " + values.join(' ');
        }
        return s;
    }
};

void ResolveOneByOne(TKorDrawSheet &sheet)
{
    const QStringList lines = *sheet.PendingLines();
    bool shown = false;
    for (const QString &line : lines) {
        try {
            sheet.ParseConnectionLine(line);
        } catch (const ECorruptPatch &e) {
            if (!std::exchange(shown, true)) // a file shows its first fault only, with its line
                Dialogs().ShowMessage(e.Message() + "\r'" + line + "'");
        }
    }
}

void Select(TKorDrawSheet &sheet, std::initializer_list<const char *> names)
{
    for (const char *n : names)
        qobject_cast<TKorCustomModule *>(sheet.FindComponent(QString::fromLatin1(n)))->SetSelected(true);
}

// Frees the selected modules one at a time, last first, as single deletions do.
void FreeSelectedOneByOne(TKorDrawSheet &sheet)
{
    for (int i = sheet.ModuleCount() - 1; i >= 0; --i)
        if (sheet.Modules(i)->Selected())
            sheet.FreeModule(i);
}

struct TBulkCase {
    const char *Name;
    std::function<void(TKorDrawSheet &)> AtOnce, OneByOne;
};

class BulkEdits : public ::testing::TestWithParam<TBulkCase> {};

TEST_P(BulkEdits, GiveWhatOneByOneEditsGive)
{
    TSide atOnce, oneByOne;
    atOnce.Do(GetParam().AtOnce);
    oneByOne.Do(GetParam().OneByOne);
    const QStringList expected = oneByOne.State();
    EXPECT_EQ(atOnce.State(), expected);
    EXPECT_TRUE(expected.join('\n').contains("made ")) << "the case made no cable";
}

INSTANTIATE_TEST_SUITE_P(
    Sheet, BulkEdits,
    ::testing::Values(
        TBulkCase{"Load", [](TKorDrawSheet &s) { s.ResolveConnections(); }, ResolveOneByOne},
        TBulkCase{"DeleteSelection",
                  [](TKorDrawSheet &s) {
                      s.ResolveConnections();
                      Select(s, {"TestThrough0", "TestThrough2", "TestSource1"});
                      s.DeleteSelectedModules();
                  },
                  [](TKorDrawSheet &s) {
                      ResolveOneByOne(s);
                      Select(s, {"TestThrough0", "TestThrough2", "TestSource1"});
                      FreeSelectedOneByOne(s);
                  }},
        TBulkCase{"DeleteTheModuleOnTheFarEdge",
                  [](TKorDrawSheet &s) {
                      s.ResolveConnections();
                      Select(s, {"TestThrough3"});
                      s.DeleteSelectedModules();
                  },
                  [](TKorDrawSheet &s) {
                      ResolveOneByOne(s);
                      Select(s, {"TestThrough3"});
                      FreeSelectedOneByOne(s);
                  }},
        TBulkCase{"DeleteAll",
                  [](TKorDrawSheet &s) {
                      s.ResolveConnections();
                      s.DeleteAllModules();
                  },
                  [](TKorDrawSheet &s) {
                      ResolveOneByOne(s);
                      s.SelectAll();
                      FreeSelectedOneByOne(s);
                  }}),
    [](const ::testing::TestParamInfo<TBulkCase> &row) { return row.param.Name; });

// Copying a whole patch and pasting it into an empty sheet gives the patch back: the same
// modules, names, places and cables in the same order, carrying the same values.
TEST(BulkEdits, PastingAWholePatchGivesItBack)
{
    TSide original, pasted;
    original.Do([](TKorDrawSheet &s) {
        s.ResolveConnections();
        s.SelectAll();
        s.CopySelection();
    });
    pasted.Do([](TKorDrawSheet &s) {
        s.ResolveConnections();
        s.DeleteAllModules();
    });
    pasted.Host.Reports.clear();
    pasted.Messages.Shown.clear();
    pasted.Do([](TKorDrawSheet &s) { s.PasteClipboard(); });
    for (int i = 0; i < pasted.Sheet->ModuleCount(); ++i) {
        pasted.Sheet->Modules(i)->SetSelected(false);
        original.Sheet->Modules(i)->SetSelected(false);
    }
    QStringList a = original.State(), b = pasted.State();
    // The original's reports and message are its load's; a paste makes its cables without
    // reports (the slot records the paste as one step) and shows nothing.
    EXPECT_TRUE(b.filter(QRegularExpression("^(made|lost|The) ")).isEmpty());
    a.removeIf([](const QString &l) { return QRegularExpression("^(made|lost|The) ").match(l).hasMatch(); });
    EXPECT_EQ(b, a);
    EXPECT_EQ(pasted.Sheet->CableCount(), original.Sheet->CableCount());
    EXPECT_GT(pasted.Sheet->CableCount(), 4);
}

} // namespace
