#pragma once
#include <QObject>
#include <QPointer>
#include <QWidget>

#include "core/MessageBoxes.h"

namespace vel {

// Modal boxes captioned with the application title, owned by the current screen. Calls from a
// worker are carried to the interface thread and wait for the answer.
class GuiMessageBoxes final : public QObject, public MessageBoxes {
    Q_OBJECT
  public:
    void showInfo(const std::string& text) override;
    bool askYesNo(const std::string& text) override;
    void setOwner(QWidget* owner) { owner_ = owner; }
    QWidget* owner() const { return owner_; }

  private:
    QPointer<QWidget> owner_;
};

}  // namespace vel
