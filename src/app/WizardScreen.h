#pragma once
// The base of every screen of the wizard.
//
// A screen is a top-level window laid out as: banner picture, the screen's own controls (body()),
// a bottom row (bottomRow(): the Help drop-down button on the left, the screen's buttons added on
// the right), and the "Explore more database products" link. The title is the application title.
//
// The chain of screens: a screen is created with its creator as parent (so it is destroyed with
// it) and shown with creator->showNext(next), which hides the creator. goBack() shows the creator
// again, untouched, and destroys this screen and every screen it created.
//
//     auto* next = new ParceModeNtfsDlg(this, ParceModeNtfsDlg::kFromVolumeInformation, volume);
//     showNext(next);
//
// Shared behaviour: Enter and Escape are swallowed while a screen has the focus; closing asks
// "Do you want to Close Application ?" and on Yes calls stopWorkers() on every live screen and
// ends the process with exit code 0 through processExit() (tests replace it). The invisible
// "EXIT" button does the same without asking. Screens with workers override stopWorkers().
#include <QIcon>
#include <QPointer>
#include <QStyle>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <vector>

class QBoxLayout;
class QHBoxLayout;
class QLabel;
class QMenu;
class QPushButton;
class QVBoxLayout;

namespace vel {

class WizardScreen : public QWidget {
    Q_OBJECT
  public:
    // dialogId: the screen's dialog id (130, 152, ...); creator: the screen that made this one,
    // null for the first screen.
    explicit WizardScreen(int dialogId, WizardScreen* creator = nullptr);
    ~WizardScreen() override;

    int dialogId() const { return dialogId_; }
    // The dialog id of the creator (-1 for the first screen).
    int previousScreen = -1;
    WizardScreen* creator() const { return creator_; }

    // Shows next (whose creator is this screen) in this one's place and hides this one.
    void showNext(WizardScreen* next);
    // Shows the creator with its contents and destroys this screen (deferred, so it is safe from
    // this screen's own handlers) and the screens it created.
    void goBack();
    // Sets the stop flags of this screen's running workers. Called on every live screen before
    // the process ends.
    virtual void stopWorkers() {}

    // Asks "Do you want to Close Application ?"; Yes ends the process. The close command does this.
    void askToClose();
    // The invisible "EXIT" button: ends the process without asking.
    void exitNow();

    // Every screen not yet destroyed, oldest first.
    static std::vector<WizardScreen*> liveScreens();
    // How the process ends; tests replace it with one that records the code and returns.
    static std::function<void(int)>& processExit();
    // How web pages are opened; tests replace it.
    static std::function<void(const QUrl&)>& openUrl();

    QPushButton* helpButton() const { return help_; }
    QMenu* helpMenu() const { return helpMenu_; }
    QPushButton* exitButton() const { return exit_; }
    QLabel* productsLink() const { return link_; }

    // A button with a picture from the icon theme, else the style's standard picture.
    QPushButton* makeButton(const QString& caption, const char* themeIcon,
                            QStyle::StandardPixmap fallback);
    QIcon themeIcon(const char* name, QStyle::StandardPixmap fallback) const;

  protected:
    // Shows this screen with the geometry of the one it replaces.
    void showInPlaceOf(const WizardScreen* previous);
    // Where the screen puts its own controls.
    QVBoxLayout* body() const { return body_; }
    // The bottom row; screens add their buttons here (they line up at the right).
    QHBoxLayout* bottomRow() const { return bottom_; }

    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void endProcess();

    int dialogId_;
    QPointer<WizardScreen> creator_;
    QVBoxLayout* body_ = nullptr;
    QHBoxLayout* bottom_ = nullptr;
    QPushButton* help_ = nullptr;
    QMenu* helpMenu_ = nullptr;
    QPushButton* exit_ = nullptr;
    QLabel* link_ = nullptr;
};

// The banner picture across the top of every screen, drawn rather than loaded.
class WizardBanner : public QWidget {
    Q_OBJECT
  public:
    explicit WizardBanner(QWidget* parent = nullptr);
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// Stands in for a screen a later step builds: its dialog name as a heading and a Back button.
class PlaceholderScreen : public WizardScreen {
    Q_OBJECT
  public:
    PlaceholderScreen(const QString& dialogName, int dialogId, WizardScreen* creator);
    const QString& dialogName() const { return name_; }
    QPushButton* backButton() const { return back_; }

  private:
    QString name_;
    QPushButton* back_ = nullptr;
};

// Web addresses of the Help menu and the products link.
inline constexpr const char* kUserGuideUrl = "https://vellorine.example/guide";
inline constexpr const char* kProductPageUrl = "https://vellorine.example/";
inline constexpr const char* kProductsPageUrl = "https://vellorine.example/products";
inline constexpr const char* kVendorMail = "support@vellorine.example";

}  // namespace vel
