// The module palette: a strip of tabbed pages holding one button per module class. A press
// on a button (not the click) reports the button's module class, so that the new module can
// follow the pointer from that press on.
#pragma once

#include "Component.h"

#include <QHash>
#include <QImage>
#include <QString>
#include <QTabWidget>
#include <QToolButton>
#include <functional>
#include <vector>

class TKorModuleButton;
class QLineEdit;

using TKorModuleButtonClick = std::function<void(TKorModuleButton *Sender, const TComponentClass &aModuleClass)>;

// One palette button: a flat tool button with the picture of its module class, remembering the
// page it was registered on and the class it creates.
class TKorModuleButton : public QToolButton {
    Q_OBJECT
public:
    // Fixed size of every palette button; the pictures are made for it (32 x 28 plus the frame).
    static constexpr int ButtonWidth = 36;
    static constexpr int ButtonHeight = 32;

    explicit TKorModuleButton(QWidget *parent = nullptr);

    // Stores both and loads the picture: bitmaps/<short name>.bmp in the application directory,
    // else bitmaps/Module.bmp, else none. Failures are silent.
    void Setup(const QString &aPageName, const TComponentClass &aModuleClass);

    QString PageName() const { return FPageName; }
    const TComponentClass *ModuleClass() const { return FModuleClass; }
    // The picture as loaded (null when neither file could be read).
    const QImage &Glyph() const { return FGlyph; }

    // Runs at every mouse press on the button (any mouse button), before the button's own
    // handling. Disabled buttons take no presses.
    void SetOnMouseDown(std::function<void(TKorModuleButton *)> handler) { FOnMouseDown = std::move(handler); }

    // A class name without its first four characters: TKorSine gives Sine.
    static QString ShortName(const TComponentClass &aModuleClass);

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    QString FPageName;
    const TComponentClass *FModuleClass = nullptr;
    QImage FGlyph;
    std::function<void(TKorModuleButton *)> FOnMouseDown;
};

// The palette itself. Pages are plain widgets whose tab captions are the page names; their
// buttons sit in one row in the order they were added.
class TKormoduleSelector : public QTabWidget {
    Q_OBJECT
    Q_PROPERTY(bool ButtonsEnabled READ ButtonsEnabled WRITE SetButtonsEnabled)
public:
    explicit TKormoduleSelector(QWidget *parent = nullptr);
    ~TKormoduleSelector() override;

    // Registers a module class on a page (made when missing) and returns its new button. The
    // first page stays the active one.
    TKorModuleButton *AddModuleButton(const QString &aPageName, const TComponentClass &aModuleClass);
    // The first page whose caption equals aPageName exactly; null when there is none.
    QWidget *FindPage(const QString &aPageName) const;
    // Adds a page with that caption as the last page.
    QWidget *NewPage(const QString &aPageName);
    // Module buttons on that page; 0 when there is no such page.
    int ButtonCount(const QString &aPageName) const;
    // Places the page's module buttons in one row without gaps, or destroys the page when it
    // holds none (the first remaining page becomes active). A null page is an internal error.
    void FormatPage(QWidget *aPage);

    bool ButtonsEnabled() const { return FButtonsEnabled; }
    // Enables or disables every button of the palette.
    void SetButtonsEnabled(bool v);

    const TKorModuleButtonClick &OnModuleButtonClick() const { return FOnModuleButtonClick; }
    void SetOnModuleButtonClick(TKorModuleButtonClick handler) { FOnModuleButtonClick = std::move(handler); }

    // Every button made by this palette that still exists, in the order they were made.
    const std::vector<TKorModuleButton *> &Buttons() const { return FButtons; }

    // The search box beside the tabs: typing filters the buttons of every page by the module's
    // name and its one-line description; Enter presses the first match, Escape clears it.
    QLineEdit *SearchBox() const { return FSearch; }
    // One-line descriptions by short name (Sine), searched and shown in the tooltips.
    void SetDescriptions(const QHash<QString, QString> &byShortName);
    QString Description(const TComponentClass &aModuleClass) const;
    // Shows only the buttons that match (all for an empty text), packed to the left; pages
    // without a match are disabled, and a page with one is shown when the current has none.
    void SetFilter(const QString &text);
    // The buttons that match the current filter, page by page.
    std::vector<TKorModuleButton *> Matches() const;
    // Presses the first match as a click on it would; false when there is none or the buttons
    // are disabled.
    bool PlaceFirstMatch();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool Matching(const TKorModuleButton *button) const;
    // FormatPage for the shown buttons only.
    void PackPage(QWidget *page);
    void ModuleButtonMouseDown(TKorModuleButton *button);
    void ButtonJoined(TKorModuleButton *button);
    void ButtonLeft(TKorModuleButton *button);

    std::vector<TKorModuleButton *> FButtons;
    bool FButtonsEnabled = false;
    TKorModuleButtonClick FOnModuleButtonClick;
    QLineEdit *FSearch = nullptr;
    QString FFilter;
    QHash<QString, QString> FDescriptions;
};
