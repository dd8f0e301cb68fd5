#pragma once
// The user guide shipped inside the program, shown without a web browser. One window for the
// whole process: Help on any screen raises it again.
#include <QDialog>

class QPushButton;
class QTextBrowser;

namespace vel {

class UserGuideDlg : public QDialog {
    Q_OBJECT
  public:
    // Shows the guide's window, creating it on first use.
    static UserGuideDlg* showGuide(QWidget* near);
    // The window if it is open.
    static UserGuideDlg* current();

    QTextBrowser* text() const { return text_; }
    QPushButton* onlineButton() const { return online_; }

  private:
    explicit UserGuideDlg(QWidget* parent);

    QTextBrowser* text_ = nullptr;
    QPushButton* online_ = nullptr;
};

// The guide's Markdown as built into the program.
QString userGuideText();

}  // namespace vel
