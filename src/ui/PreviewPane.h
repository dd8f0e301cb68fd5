#pragma once
// Below the file list: the selected file as a picture, as text or as a hex listing, so a user
// can tell whether a file (a deleted photo, say) is intact before saving it.
#include <QLabel>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QWidget>

#include "scan/Preview.h"

namespace vel {

class PreviewPane final : public QWidget {
    Q_OBJECT
  public:
    explicit PreviewPane(QWidget* parent = nullptr);

    void showPreview(const QString& name, const Preview& preview);
    // A line in place of a preview ("Reading ...", nothing selected).
    void showMessage(const QString& text);

    // What is shown: for tests and the status of the pane.
    bool showsImage() const { return pages_->currentWidget() == image_; }
    bool showsText() const { return pages_->currentWidget() == text_; }
    QString shownText() const { return text_->toPlainText(); }
    QString caption() const { return caption_->text(); }

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void fitImage();

    QLabel* caption_;
    QStackedWidget* pages_;
    QLabel* image_;
    QPlainTextEdit* text_;
    QPixmap picture_;
};

}  // namespace vel
