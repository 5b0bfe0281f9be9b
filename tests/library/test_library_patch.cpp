// One of every library module in one patch: registered in order, saved, loaded and run.
#include "AllocationCounter.h"
#include "LibraryTestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace {

const auto &Classes = LibraryClasses;

TEST(LibraryPatch, EveryModuleIsRegisteredAfterTheFrameworkInOrder)
{
    const QStringList &names = ClassNames();
    qsizetype last = names.indexOf("TKorMidiBaseModule");
    ASSERT_GE(last, 0);
    for (const char *cls : Classes) {
        const qsizetype at = names.indexOf(cls);
        EXPECT_GT(at, last) << cls;
        last = at;
    }
    EXPECT_EQ(names.size() - names.indexOf("TKorConstant"), qsizetype(std::size(Classes))) << "every class listed";
    EXPECT_EQ(OldNames().at(names.indexOf("TKorClRndPulse")), "TClRndPulse");
}

TEST(LibraryPatch, EveryModuleHasItsSectionInTheManual)
{
    QFile manual(QStringLiteral(KORVANE_APPDIR "/Manual/Index.htm"));
    ASSERT_TRUE(manual.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(manual.readAll());
    for (const char *cls : Classes) // the anchor F1 opens for a clicked module
        EXPECT_TRUE(text.contains(QStringLiteral("<h2 id=\"Module_%1\">").arg(QString::fromLatin1(cls).mid(1))))
            << cls;
}

TEST(LibraryPatch, OneOfEachSavesLoadsAndRunsAThousandTicks)
{
    RandSeed(7);
    auto sheet = CreateOwned<TKorDrawSheet>();
    std::vector<TKorCustomModule *> modules;
    int row = 0;
    for (const char *cls : Classes) {
        auto *m = static_cast<TKorCustomModule *>(CreateComponent(FindModuleClass(cls), sheet.get()));
        m->SetTop(row);
        row += m->Height();
        modules.push_back(m);
    }
    // Every output feeds the first input of the next module, in a ring.
    for (size_t i = 0; i < modules.size(); ++i) {
        TKorOutput *out = nullptr;
        TKorInput *in = nullptr;
        for (int c = 0; c < modules[i]->ComponentCount() && !out; ++c)
            out = qobject_cast<TKorOutput *>(modules[i]->Components(c));
        TKorCustomModule *next = modules[(i + 1) % modules.size()];
        for (int c = 0; c < next->ComponentCount() && !in; ++c)
            in = qobject_cast<TKorInput *>(next->Components(c));
        if (out && in)
            sheet->ToggleConnection(out, in);
    }
    const int cables = sheet->CableCount();
    EXPECT_GE(cables, 10);

    QTemporaryDir dir;
    const QString file = dir.filePath("all.korvane");
    SaveSheetToFile(*sheet, file);
    TOwned<TKorDrawSheet> loaded = ReadSheetFromFile(file);
    loaded->ResolveConnections();
    ASSERT_EQ(loaded->ModuleCount(), int(std::size(Classes)));
    for (int i = 0; i < loaded->ModuleCount(); ++i)
        EXPECT_EQ(loaded->Modules(i)->ClassName(), Classes[i]);
    EXPECT_EQ(loaded->CableCount(), cables);
    EXPECT_NO_THROW(Tick(*loaded, 1000));
    // The ticks of every module, and the cables between them, allocate nothing.
    AllocationCounter::Start();
    Tick(*loaded, 500);
    EXPECT_EQ(AllocationCounter::Stop(), 0u);

    // Saving the loaded patch again gives the same text but for the alternating names.
    SaveSheetToFile(*loaded, dir.filePath("again.korvane"));
    TOwned<TKorDrawSheet> again = ReadSheetFromFile(dir.filePath("again.korvane"));
    again->ResolveConnections();
    EXPECT_EQ(again->CableCount(), cables);
}

} // namespace
