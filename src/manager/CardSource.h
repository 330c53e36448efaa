// Where the manager's window finds the reader and its card, and what it asks of
// them: the virtual reader through PC/SC in the program, a fake in tests. read()
// and the operations run on worker threads, never the window's; changed() may be
// emitted from any thread.
#pragma once

#include <QObject>
#include <string>

#include "base/OpenSsl.h"
#include "cardops/CardOperations.h"
#include "cardops/ReaderCard.h"

namespace quillon::manager {

struct CardState {
  cardops::ReaderStatus reader;
  bool infoRead = false;  // `info` holds the card's state
  cardops::CardInfo info;
  std::string problem;  // why the card's state could not be read
};

class CardSource : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;

  virtual CardState read() = 0;
  virtual cardops::Result changePin(const ossl::SecureBytes& oldPin, const ossl::SecureBytes& newPin) = 0;
  // `adminKey` and the keys below are the 24 key bytes.
  virtual cardops::Result unblockPin(const ossl::SecureBytes& adminKey, const ossl::SecureBytes& newPin) = 0;
  virtual cardops::Result changeAdminKey(const ossl::SecureBytes& oldKey, const ossl::SecureBytes& newKey) = 0;
  virtual cardops::Result eject() = 0;
  virtual cardops::Result insert(const std::string& drive) = 0;

 Q_SIGNALS:
  // The reader or its card changed: a card inserted or removed, a reader added or gone.
  void changed();
};

}  // namespace quillon::manager
