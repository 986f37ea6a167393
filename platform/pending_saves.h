// The saves in progress, kept alike by both platform backends: each is a
// temporary file that becomes its target when the save completes. The
// interrupt handlers read the table to remove the temporary files when the
// process ends during a save. No operating-system calls here.
#pragma once

#include <atomic>
#include <cstdio>

#include "platform/platform.h"

namespace pending_saves {

constexpr size_t kPathBytes = 4096;

enum SlotState : int {
  kFree = 0,
  kFilling = 1,  // claimed; its paths are being written
  kOpening = 2,  // temp is about to be made: the handlers may remove it
  kActive = 3,   // complete, its file open: the handlers may remove temp
};

struct PendingSave {
  std::atomic<int> state{kFree};  // stored with release once the fields are complete
  FileHandle file = kInvalidFile;
  bool direct = false;  // the target itself is written (a device, a FIFO)
  char temp[kPathBytes];
  char target[kPathBytes];
};

struct SaveTable {
  PendingSave slots[4];
  std::atomic<unsigned> counter{0};  // makes temporary names unique in this process
};
inline SaveTable Saves;

inline PendingSave* ClaimSlot() {
  for (PendingSave& slot : Saves.slots) {
    int expected = kFree;
    if (slot.state.compare_exchange_strong(expected, kFilling, std::memory_order_acq_rel)) {
      return &slot;
    }
  }
  return nullptr;
}

inline PendingSave* FindSlot(FileHandle file) {
  for (PendingSave& slot : Saves.slots) {
    if (slot.state.load(std::memory_order_acquire) == kActive && slot.file == file) return &slot;
  }
  return nullptr;
}

// Marks the slot's temporary name as one the handlers remove, before the
// file is made: an interrupt that ends the process while the file is being
// created cannot leave it behind.
inline void ArmSlot(PendingSave* slot) { slot->state.store(kOpening, std::memory_order_release); }

// Takes an armed slot back (its name was taken by another file), so that
// the next name can be written into it.
inline void DisarmSlot(PendingSave* slot) {
  slot->state.store(kFilling, std::memory_order_release);
}

// True when the handlers remove the slot's temporary file.
inline bool SlotHoldsTemporary(const PendingSave& slot) {
  const int state = slot.state.load(std::memory_order_acquire);
  return (state == kOpening || state == kActive) && !slot.direct;
}

// Marks the slot complete, its file open.
inline void ActivateSlot(PendingSave* slot, FileHandle file) {
  slot->file = file;
  slot->state.store(kActive, std::memory_order_release);
}

inline void ReleaseSlot(PendingSave* slot) {
  slot->file = kInvalidFile;
  slot->state.store(kFree, std::memory_order_release);
}

// Writes the next temporary name beside the target into slot->temp: the
// target's folder (its first folderLength characters) and
// ".save-<process id>-<n>.tmp". False when it does not fit.
inline bool NextTemporaryName(PendingSave* slot, const char* path, int folderLength,
                              unsigned long processId) {
  const unsigned n = Saves.counter.fetch_add(1, std::memory_order_relaxed);
  const int length = std::snprintf(slot->temp, sizeof slot->temp, "%.*s.save-%lu-%u.tmp",
                                   folderLength, path, processId, n);
  return length >= 0 && static_cast<size_t>(length) < sizeof slot->temp;
}

}  // namespace pending_saves
