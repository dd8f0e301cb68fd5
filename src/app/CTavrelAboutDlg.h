#pragma once
#include <QDialog>

class QLabel;
class QPushButton;

namespace vel {

// The About box of the Help menu: title, version, the vendor's links and products, OK.
class CTavrelAboutDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kDialogId = 100;
    explicit CTavrelAboutDlg(QWidget* parent = nullptr);
    QLabel* versionLabel() const { return version_; }
    QPushButton* okButton() const { return ok_; }

  private:
    QLabel* version_ = nullptr;
    QPushButton* ok_ = nullptr;
};

}  // namespace vel
