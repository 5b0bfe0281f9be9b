// The object stream: the exact text form of components, strings in all their shapes, the
// parser's errors, and a reader that refuses malformed binary instead of trusting it.
#include "Modules.h"
#include "TestModules.h"

#include <gtest/gtest.h>

namespace {

QByteArray TextOf(const TComponent &c)
{
    return ObjectBinaryToText(WriteComponent(c));
}

// The text of a sheet holding one settings module whose Note is `note`.
QByteArray NoteText(const QString &note)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *m = Create<TKorTestSettings>(sheet.get());
    m->SetNote(note);
    return TextOf(*sheet);
}

QString NoteLines(const QString &note)
{
    const QByteArray text = NoteText(note);
    const qsizetype from = text.indexOf("    Note = "), to = text.indexOf("\r\n  end");
    return QString::fromLatin1(text.mid(from, to - from));
}

TEST(Stream, ModuleTextListsPublishedPropertiesBaseClassFirst)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *m = Create<TKorTestSettings>(sheet.get());
    m->SetTop(100);
    m->SetTitle("");
    m->SetKnobValue(-250);
    m->SetButtonDown(true);
    EXPECT_EQ(TextOf(*m), "object TestSettings0: TKorTestSettings\r\n"
                          "  Left = 0\r\n"
                          "  Top = 100\r\n"
                          "  Title = ''\r\n"
                          "  KnobValue = -250\r\n"
                          "  ButtonDown = True\r\n"
                          "  Note = ''\r\n"
                          "end\r\n")
        << "an empty title is written too, so that it stays empty; the panel's details are not written";
}

TEST(Stream, StringsAreQuotedRunsAndCharacterCodes)
{
    struct Case {
        const char *name;
        QString note;
        const char *text;
    };
    const Case cases[] = {
        {"plain", "Bass line", "    Note = 'Bass line'"},
        {"apostrophe", "It's", "    Note = 'It'#39's'"},
        {"only codes", "\x01\t", "    Note = #1#9"},
        {"delete is a control character", QStringLiteral("a") + QChar(0x7F) + "b", "    Note = 'a'#127'b'"},
        {"latin", QString::fromUtf8("Caf\u00e9 \u00c0"), "    Note = 'Caf'#233' '#192"},
        {"beyond the basic plane", QString::fromUtf8("\xF0\x9F\x8E\xB9!"), "    Note = #55356#57273'!'"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(NoteLines(c.note), QString::fromLatin1(c.text)) << c.name;
}

TEST(Stream, LongStringsStartOnTheirOwnLineAndBreakEvery64Characters)
{
    const QString sixtyFour(64, u'a');
    EXPECT_EQ(NoteLines(sixtyFour), "    Note = '" + sixtyFour + "'") << "64 characters still fit";
    const QString long130 = QString(64, u'a') + QString(64, u'b') + "cc";
    EXPECT_EQ(NoteLines(long130), "    Note = \r\n"
                                  "      '" + QString(64, u'a') + "' +\r\n"
                                  "      '" + QString(64, u'b') + "' +\r\n"
                                  "      'cc'");
    // Codes count as one character each towards the 64.
    const QString mixed = QString(63, u'x') + "''y" + QString(60, u'z');
    EXPECT_EQ(NoteLines(mixed), "    Note = \r\n"
                                "      '" + QString(63, u'x') + "'#39 +\r\n"
                                "      #39'y" + QString(60, u'z') + "'");
}

TEST(Stream, StringsSurviveTheRoundTrip)
{
    const QString notes[] = {
        "", "It's a 'quoted' \"word\"", QString::fromUtf8("\u00e9\u20ac\u4e2d\xF0\x9F\x8E\xB9"),
        QString(200, u'\''), QString(65, u'q') + "#39 + 'not code'", QString(QChar(0)) + "after nul",
        QStringLiteral("rub") + QChar(0x7F) + "out",
    };
    for (const QString &note : notes) {
        const QByteArray text = NoteText(note);
        auto sheet = CreateOwned<TKorDrawSheet>();
        ReadComponent(ObjectTextToBinary(text), sheet.get());
        auto *m = qobject_cast<TKorTestSettings *>(sheet->Modules(0));
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->Note(), note) << text.toStdString();
        for (char c : text)
            EXPECT_TRUE(c == '\r' || c == '\n' || (c >= ' ' && c <= '~')) << "patch text is 7-bit";
    }
}

TEST(Stream, TextReaderTakesEitherLineEndAndHandWrittenForms)
{
    const QByteArray text = "object TKorDrawSheet\n"
                            "  Connections = ()\n"
                            "  object S: TKorTestSettings\n"
                            "    KnobValue = 7\n"
                            "    ButtonDown = false\n"
                            "    Note = 'one' +\r\n"
                            "      'It''s'#33\n"
                            "  end\n"
                            "end";
    auto sheet = CreateOwned<TKorDrawSheet>();
    ReadComponent(ObjectTextToBinary(text), sheet.get());
    auto *m = qobject_cast<TKorTestSettings *>(sheet->FindComponent("S"));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->KnobValue(), 7);
    EXPECT_EQ(m->Note(), "oneIt's!");
}

TEST(Stream, TextErrorsNameTheLine)
{
    struct Case {
        const char *name;
        QByteArray text;
        const char *message;
    };
    const Case cases[] = {
        {"no object", "thing TKorDrawSheet\r\nend\r\n", "'object' expected on line 1"},
        {"missing end", "object TKorDrawSheet\r\n  Left = 1\r\n", "'end' expected on line 3"},
        {"missing value", "object TKorDrawSheet\r\n  Left =\r\nend\r\n", "Invalid property value on line 3"},
        {"open string", "object TKorDrawSheet\r\n  Left = 'abc\r\nend\r\n", "Unterminated string on line 2"},
        {"too big", "object TKorDrawSheet\r\n  Left = 2147483648\r\nend\r\n", "Integer value out of range on line 2"},
        {"bad code", "object TKorDrawSheet\r\n  L = #70000\r\nend\r\n", "Invalid character code on line 2"},
        {"open list", "object TKorDrawSheet\r\n  L = (\r\n    1\r\n", "')' expected on line 4"},
        {"trailing text", "object TKorDrawSheet\r\nend\r\nend\r\n", "End of file expected on line 3"},
        {"empty", "", "'object' expected on line 1"},
    };
    for (const Case &c : cases) {
        try {
            ObjectTextToBinary(c.text);
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const EStreamError &e) {
            EXPECT_EQ(e.Message(), QString::fromLatin1(c.message)) << c.name;
        }
    }
}

TEST(Stream, ReaderRejectsUnknownAndMistypedProperties)
{
    struct Case {
        const char *name;
        QByteArray body;
        const char *message; // null: accepted
    };
    const Case cases[] = {
        {"unknown integer on the root is ignored", "  ExplicitLeft = 5\r\n", nullptr},
        {"unknown string on the root", "  Color = 'red'\r\n", "Error reading TKorDrawSheet.Color: Property Color does not exist"},
        {"unknown on a module",
         "  object S: TKorTestSettings\r\n    Volume = 3\r\n  end\r\n",
         "Error reading S.Volume: Property Volume does not exist"},
        {"wrong type", "  object S: TKorTestSettings\r\n    KnobValue = 'ten'\r\n  end\r\n",
         "Error reading S.KnobValue: Invalid property value"},
        {"connections not a list", "  Connections = 'a.b c.d'\r\n",
         "Error reading TKorDrawSheet.Connections: Invalid property value"},
        {"a setter that raises", "  object S: TKorTestSettings\r\n    Top = 2147483647\r\n  end\r\n",
         "Error reading S.Top: Integer overflow"},
        // Objects that a save would never write back: refused, not read and then dropped.
        {"an object inside a module",
         "  object S: TKorTestSettings\r\n    object T: TKorTestThrough\r\n    end\r\n  end\r\n",
         "S cannot hold a TKorTestThrough"},
        {"a sheet inside the sheet", "  object Inner: TKorDrawSheet\r\n  end\r\n", "TKorDrawSheet cannot hold a TKorDrawSheet"},
    };
    for (const Case &c : cases) {
        auto sheet = CreateOwned<TKorDrawSheet>();
        const QByteArray binary = ObjectTextToBinary("object TKorDrawSheet\r\n" + c.body + "end\r\n");
        if (!c.message) {
            EXPECT_NO_THROW(ReadComponent(binary, sheet.get())) << c.name;
            continue;
        }
        try {
            ReadComponent(binary, sheet.get());
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const Exception &e) {
            EXPECT_EQ(e.Message(), QString::fromLatin1(c.message)) << c.name;
        }
    }
}

TEST(Stream, ClassesAreCheckedByName)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    const QByteArray unknownChild =
        ObjectTextToBinary("object TKorDrawSheet\r\n  object A: TConstant\r\n  end\r\nend\r\n");
    try {
        ReadComponent(unknownChild, sheet.get());
        FAIL() << "unknown class accepted";
    } catch (const EClassNotFound &e) {
        EXPECT_EQ(e.Message(), "Class TConstant not found");
    }
    EXPECT_THROW(ReadComponent(ObjectTextToBinary("object TDrawSheet\r\nend\r\n"), sheet.get()), EClassNotFound);
    EXPECT_THROW(ReadComponent(ObjectTextToBinary("object TKorTestSource\r\nend\r\n"), sheet.get()), EStreamError)
        << "a module is not a sheet";
    EXPECT_THROW(ReadComponent(ObjectTextToBinary(
                                   "object TKorDrawSheet\r\n  object A: TKorTestSource\r\n  end\r\n"
                                   "  object a: TKorTestSource\r\n  end\r\nend\r\n"),
                               sheet.get()),
                 EComponentError)
        << "two modules with one name";
}

TEST(Stream, RootsAreCreatedByClassNameUnderAHolder)
{
    auto holder = CreateOwned<TKorDrawSheet>();
    auto source = CreateOwned<TKorDrawSheet>();
    Create<TKorTestSource>(source.get());
    TComponent *read = ReadComponent(WriteComponent(*source), nullptr, holder.get());
    auto *sheet = qobject_cast<TKorDrawSheet *>(read);
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->Owner(), holder.get());
    EXPECT_EQ(sheet->ModuleCount(), 1);
}

TEST(Stream, EveryTruncatedOrDamagedBinaryIsRefused)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *a = Create<TKorTestSettings>(sheet.get());
    auto *b = Create<TKorTestThrough>(sheet.get());
    a->SetNote("note");
    sheet->ToggleConnection(a->Out, b->In);
    const QByteArray binary = WriteComponent(*sheet);
    for (qsizetype n = 0; n < binary.size(); ++n) {
        auto target = CreateOwned<TKorDrawSheet>();
        EXPECT_THROW(ReadComponent(binary.left(n), target.get()), Exception) << "prefix of " << n;
        EXPECT_THROW(ObjectBinaryToText(binary.left(n)), Exception) << "prefix of " << n;
    }
    for (qsizetype i = 0; i < binary.size(); ++i) {
        QByteArray damaged = binary;
        damaged[i] = char(0xFF); // must fail cleanly or read something; never crash
        auto target = CreateOwned<TKorDrawSheet>();
        try {
            ReadComponent(damaged, target.get());
        } catch (const Exception &) {
        }
    }
}

} // namespace
