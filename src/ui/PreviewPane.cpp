#include "ui/PreviewPane.h"

#include <QFontDatabase>
#include <QImage>
#include <QVBoxLayout>

namespace vel {

PreviewPane::PreviewPane(QWidget* parent)
    : QWidget(parent),
      caption_(new QLabel(this)),
      pages_(new QStackedWidget(this)),
      image_(new QLabel(this)),
      text_(new QPlainTextEdit(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    caption_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    image_->setAlignment(Qt::AlignCenter);
    image_->setMinimumSize(1, 1);
    text_->setReadOnly(true);
    text_->setLineWrapMode(QPlainTextEdit::NoWrap);
    pages_->addWidget(text_);
    pages_->addWidget(image_);
    layout->addWidget(caption_);
    layout->addWidget(pages_, 1);
    showMessage("Select a file to see a preview of it.");
}

void PreviewPane::showMessage(const QString& text) {
    caption_->setText(text);
    picture_ = {};
    image_->clear();
    text_->clear();
    pages_->setCurrentWidget(text_);
}

void PreviewPane::showPreview(const QString& name, const Preview& preview) {
    QString note;
    if (preview.truncated) note = QString(" (the first %1 MiB)").arg(kPreviewBytes >> 20);
    if (!preview.whole) note += " - parts could not be read and show as zeros";
    text_->setFont(QFont());
    switch (preview.kind) {
        case PreviewKind::Empty:
            showMessage(name + ": an empty file");
            return;
        case PreviewKind::Unreadable:
            showMessage(name + ": nothing of it could be read");
            return;
        case PreviewKind::Image: {
            QImage img;
            if (img.loadFromData(preview.bytes.data(), static_cast<int>(preview.bytes.size()))) {
                caption_->setText(QString("%1: %2 x %3 picture%4")
                                      .arg(name)
                                      .arg(img.width())
                                      .arg(img.height())
                                      .arg(note));
                picture_ = QPixmap::fromImage(img);
                pages_->setCurrentWidget(image_);
                fitImage();
                return;
            }
            // Damaged beyond what the decoder takes: its bytes tell more than nothing.
            caption_->setText(name + ": a picture that cannot be shown (damaged?)" + note);
            text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
            text_->setPlainText(
                QString::fromStdString(hexListing(preview.bytes, kHexPreviewBytes)));
            pages_->setCurrentWidget(text_);
            return;
        }
        case PreviewKind::Text:
            caption_->setText(name + ": text" + note);
            text_->setPlainText(QString::fromStdString(preview.text));
            pages_->setCurrentWidget(text_);
            return;
        case PreviewKind::Hex:
            caption_->setText(name + ": bytes" + note);
            text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
            text_->setPlainText(QString::fromStdString(preview.text));
            pages_->setCurrentWidget(text_);
            return;
    }
}

void PreviewPane::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitImage();
}

void PreviewPane::fitImage() {
    if (picture_.isNull()) return;
    const QSize room = image_->size();
    // Small pictures at their size; large ones fit the pane.
    if (picture_.width() <= room.width() && picture_.height() <= room.height())
        image_->setPixmap(picture_);
    else
        image_->setPixmap(picture_.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

}  // namespace vel
