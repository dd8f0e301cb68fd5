#pragma once
// The "Setting" screen: writes signature definitions, one record per "Save", into a signature
// file chosen with "...". Modal; opened from the raw screen.
#include <QDialog>
#include <functional>

#include "raw/SignatureFile.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace vel {

class RawSettingDlg : public QDialog {
    Q_OBJECT
  public:
    enum Field {
        kExtension,
        kStart,
        kEnd,
        kOffsetToSize,
        kSizeBytes,
        kIncludesHeader,
        kHeaderSize,
        kSkipSize,
        kApproximateSize,
        kCategory,
        kFieldCount
    };
    explicit RawSettingDlg(QWidget* parent = nullptr);

    // The help text a field's button shows; the extension's changes once its button is pressed.
    static QString helpText(Field field, bool afterPressing = false);

    // Handlers, public so tests drive them as a user would.
    void onChooseFile();
    void onSave();
    void onHelp(Field field);

    // The save-as dialog; tests replace it. Returns "" on cancel.
    std::function<QString()> chooseFile;

    QLineEdit* edit(Field field) const { return edits_[field]; }
    QCheckBox* includesHeaderBox() const { return includesHeader_; }
    QToolButton* helpButton(Field field) const { return help_[field]; }
    QLineEdit* pathEdit() const { return path_; }
    QPushButton* chooseButton() const { return choose_; }
    QPushButton* saveButton() const { return save_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

  protected:
    void done(int result) override;

  private:
    SignatureInputs inputs() const;

    SignatureFileWriter writer_;
    QLineEdit* edits_[kFieldCount] = {};
    QToolButton* help_[kFieldCount] = {};
    QCheckBox* includesHeader_ = nullptr;
    QLineEdit* path_ = nullptr;
    QPushButton* choose_ = nullptr;
    QPushButton* save_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

}  // namespace vel
