#include "Dialogs.h"

#include <cstdio>

namespace {
class TStandardErrorDialogs : public IDialogs {
public:
    void ShowMessage(const QString &text) override { Print(text); }
    void ShowError(const QString &text) override { Print(text); }

private:
    static void Print(QString text)
    {
        text.replace(u'\r', u'\n');
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    }
};

TStandardErrorDialogs DefaultDialogs;
IDialogs *Installed = &DefaultDialogs;
} // namespace

IDialogs &Dialogs()
{
    return *Installed;
}

void SetDialogs(IDialogs *d)
{
    Installed = d ? d : &DefaultDialogs;
}
