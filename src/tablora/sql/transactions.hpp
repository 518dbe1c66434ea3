// The transactions the library opens itself around a call's statements: the
// merge's WriteTransaction, which holds the write lock or a savepoint for
// the whole of it, and a reader's Snapshot.
#pragma once

#include "sql/driver.hpp"

namespace tablora {

// The transaction of a call that writes in several statements, the merge:
// when the library opens transactions on this connection and none is open,
// "BEGIN IMMEDIATE", so the call holds the write lock from its first read
// to its commit; otherwise "SAVEPOINT tablora_merge" inside the caller's
// transaction (or, on an autocommit connection, around the call alone). A
// connection object that does not tell whether a transaction is open is
// left as it is.
// A failure leaves nothing of the call's work: the transaction it began is
// rolled back, or its savepoint is rolled back to and released, and the
// caller's earlier work and transaction stay as they were.
class WriteTransaction {
 public:
  explicit WriteTransaction(Call& call) : call_(call) {}
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;
  // False with the error set.
  bool open();
  // Ends the call's work: when `ok`, releases the savepoint and commits as
  // `comm` asks; otherwise, and when that fails, undoes the work and keeps
  // the error. False when the error is set. Inside the caller's transaction
  // the savepoint is kept through the COMMIT, which ends it: a COMMIT that
  // fails (another connection still reads) leaves the savepoint to undo the
  // call's work by, while the caller's own work and transaction stay.
  bool end(bool ok, PyObject* comm);
  // Whether the call's statements run in a transaction of its own making.
  bool holds() const { return began_ || savepoint_; }

 private:
  void undo_keeping_error();

  Call& call_;
  bool began_ = false;
  bool savepoint_ = false;
  // The savepoint sits in a transaction the caller opened, which
  // conn.commit() ends (it does nothing with the driver's autocommit=True).
  bool commit_ends_savepoint_ = false;
};

// One read snapshot for a reader that sends several statements: when no
// transaction is open, "SAVEPOINT tablora_find" first and "RELEASE
// tablora_find" at the end, also when the reader failed.
class Snapshot {
 public:
  explicit Snapshot(Call& call) : call_(call) {}
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;
  // False with the error set.
  bool open();
  // Releases the snapshot; `ok` tells whether the reader succeeded. A failed
  // reader's error is kept; false when the error is set.
  bool close(bool ok);
  ~Snapshot() {
    if (opened_) close(false);
  }

 private:
  Call& call_;
  bool opened_ = false;
};

}  // namespace tablora
