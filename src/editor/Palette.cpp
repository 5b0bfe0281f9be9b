#include "Palette.h"

#include "AppPaths.h"
#include "Errors.h"

#include <QBitmap>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPixmap>
#include <QTabBar>
#include <algorithm>

// ---------------------------------------------------------------------------------------------
// TKorModuleButton

TKorModuleButton::TKorModuleButton(QWidget *parent) : QToolButton(parent)
{
    setAutoRaise(true);
    setFixedSize(ButtonWidth, ButtonHeight);
    setFocusPolicy(Qt::NoFocus);
}

QString TKorModuleButton::ShortName(const TComponentClass &aModuleClass)
{
    return aModuleClass.Name().mid(4);
}

void TKorModuleButton::Setup(const QString &aPageName, const TComponentClass &aModuleClass)
{
    FPageName = aPageName;
    FModuleClass = &aModuleClass;

    const QString folder = ApplicationDirectory() + QStringLiteral("bitmaps/");
    QImage image;
    if (!image.load(folder + ShortName(aModuleClass) + QStringLiteral(".bmp"))
        && !image.load(folder + QStringLiteral("Module.bmp")))
        image = QImage();
    FGlyph = image;

    if (FGlyph.isNull()) {
        setIcon(QIcon());
        return;
    }
    // Like every glyph of Korvane, the colour of the bottom-left pixel is transparent.
    QPixmap pixmap = QPixmap::fromImage(FGlyph);
    pixmap.setMask(pixmap.createMaskFromColor(FGlyph.pixelColor(0, FGlyph.height() - 1), Qt::MaskInColor));
    setIcon(QIcon(pixmap));
    setIconSize(FGlyph.size());
}

void TKorModuleButton::mousePressEvent(QMouseEvent *event)
{
    if (FOnMouseDown)
        FOnMouseDown(this);
    QToolButton::mousePressEvent(event);
    event->accept(); // presses of every mouse button end here
}

// ---------------------------------------------------------------------------------------------
// TKormoduleSelector

namespace {
QList<TKorModuleButton *> PageButtons(const QWidget *page)
{
    return page->findChildren<TKorModuleButton *>(Qt::FindDirectChildrenOnly);
}
} // namespace

TKormoduleSelector::TKormoduleSelector(QWidget *parent) : QTabWidget(parent)
{
    tabBar()->setAttribute(Qt::WA_Hover);
    tabBar()->setMouseTracking(true);
    FSearch = new QLineEdit(this);
    FSearch->setObjectName(QStringLiteral("PaletteSearch"));
    FSearch->setPlaceholderText(QStringLiteral("Search (Ctrl+F)"));
    FSearch->setClearButtonEnabled(true);
    FSearch->setFixedWidth(130);
    FSearch->installEventFilter(this);
    setCornerWidget(FSearch, Qt::TopRightCorner);
    connect(FSearch, &QLineEdit::textChanged, this, [this](const QString &text) { SetFilter(text); });
    connect(FSearch, &QLineEdit::returnPressed, this, [this] { PlaceFirstMatch(); });
}

bool TKormoduleSelector::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == FSearch && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape && !FSearch->text().isEmpty()) {
        FSearch->clear();
        return true;
    }
    return QTabWidget::eventFilter(watched, event);
}

void TKormoduleSelector::SetDescriptions(const QHash<QString, QString> &byShortName)
{
    FDescriptions = byShortName;
    for (TKorModuleButton *button : FButtons) {
        const QString text = Description(*button->ModuleClass());
        const QString name = TKorModuleButton::ShortName(*button->ModuleClass());
        button->setToolTip(text.isEmpty() ? name : name + QStringLiteral(": ") + text);
    }
    SetFilter(FFilter);
}

QString TKormoduleSelector::Description(const TComponentClass &aModuleClass) const
{
    return FDescriptions.value(TKorModuleButton::ShortName(aModuleClass));
}

bool TKormoduleSelector::Matching(const TKorModuleButton *button) const
{
    const QString f = FFilter.trimmed();
    if (f.isEmpty())
        return true;
    return TKorModuleButton::ShortName(*button->ModuleClass()).contains(f, Qt::CaseInsensitive) ||
           Description(*button->ModuleClass()).contains(f, Qt::CaseInsensitive);
}

void TKormoduleSelector::SetFilter(const QString &text)
{
    FFilter = text;
    int firstWithMatch = -1;
    for (int i = 0; i < count(); ++i) {
        bool any = false;
        for (TKorModuleButton *button : PageButtons(widget(i))) {
            const bool match = Matching(button);
            button->setHidden(!match);
            any = any || match;
        }
        PackPage(widget(i));
        setTabEnabled(i, any);
        if (any && firstWithMatch < 0)
            firstWithMatch = i;
    }
    if (firstWithMatch >= 0 && !isTabEnabled(currentIndex()))
        setCurrentIndex(firstWithMatch);
}

std::vector<TKorModuleButton *> TKormoduleSelector::Matches() const
{
    std::vector<TKorModuleButton *> found;
    for (int i = 0; i < count(); ++i)
        for (TKorModuleButton *button : PageButtons(widget(i)))
            if (Matching(button))
                found.push_back(button);
    return found;
}

bool TKormoduleSelector::PlaceFirstMatch()
{
    const std::vector<TKorModuleButton *> found = Matches();
    if (found.empty() || !FButtonsEnabled)
        return false;
    setCurrentWidget(found.front()->parentWidget());
    ModuleButtonMouseDown(found.front());
    return true;
}

void TKormoduleSelector::PackPage(QWidget *page)
{
    int left = 0;
    for (TKorModuleButton *button : PageButtons(page))
        if (!button->isHidden()) {
            button->move(left, button->y());
            left += button->width();
        }
}

TKormoduleSelector::~TKormoduleSelector()
{
    // The pages (and with them the buttons) die in the base destructor, after FButtons: stop
    // listening first.
    for (TKorModuleButton *button : FButtons)
        disconnect(button, nullptr, this, nullptr);
    FButtons.clear();
}

void TKormoduleSelector::ButtonJoined(TKorModuleButton *button)
{
    FButtons.push_back(button);
    connect(button, &QObject::destroyed, this, [this, button] { ButtonLeft(button); });
}

void TKormoduleSelector::ButtonLeft(TKorModuleButton *button)
{
    FButtons.erase(std::remove(FButtons.begin(), FButtons.end(), button), FButtons.end());
}

QWidget *TKormoduleSelector::FindPage(const QString &aPageName) const
{
    for (int i = 0; i < count(); ++i)
        if (tabText(i) == aPageName)
            return widget(i);
    return nullptr;
}

QWidget *TKormoduleSelector::NewPage(const QString &aPageName)
{
    auto *page = new QWidget;
    addTab(page, aPageName);
    return page;
}

int TKormoduleSelector::ButtonCount(const QString &aPageName) const
{
    const QWidget *page = FindPage(aPageName);
    return page ? int(PageButtons(page).size()) : 0;
}

void TKormoduleSelector::FormatPage(QWidget *aPage)
{
    if (!aPage)
        KOR_FAIL(QStringLiteral("TModuleSelecteor.FormatPage : can't format an unassigned <NIL> page."));
    const QList<TKorModuleButton *> buttons = PageButtons(aPage);
    if (buttons.isEmpty()) {
        delete aPage; // its tab goes with it
        if (count() > 0)
            setCurrentIndex(0);
        return;
    }
    int left = 0, height = 0;
    for (TKorModuleButton *button : buttons) {
        button->move(left, button->y());
        left += button->width();
        height = std::max(height, button->height());
    }
    aPage->setMinimumHeight(height);
}

TKorModuleButton *TKormoduleSelector::AddModuleButton(const QString &aPageName,
                                                      const TComponentClass &aModuleClass)
{
    QWidget *page = FindPage(aPageName);
    if (!page)
        page = NewPage(aPageName);
    setCurrentWidget(page);
    setCurrentIndex(0);

    auto *button = new TKorModuleButton(page);
    ButtonJoined(button);
    button->move(0, 0);
    button->Setup(aPageName, aModuleClass);
    button->SetOnMouseDown([this](TKorModuleButton *b) { ModuleButtonMouseDown(b); });
    FormatPage(page);
    button->move(button->x(), 0);
    button->setAutoRaise(true);
    button->setToolTip(TKorModuleButton::ShortName(aModuleClass));
    button->setEnabled(FButtonsEnabled);
    button->show();
    if (!FFilter.isEmpty())
        SetFilter(FFilter);
    return button;
}

void TKormoduleSelector::ModuleButtonMouseDown(TKorModuleButton *button)
{
    if (FOnModuleButtonClick)
        FOnModuleButtonClick(button, *button->ModuleClass());
}

void TKormoduleSelector::SetButtonsEnabled(bool v)
{
    if (v == FButtonsEnabled)
        return;
    FButtonsEnabled = v;
    for (TKorModuleButton *button : FButtons)
        button->setEnabled(v);
}
