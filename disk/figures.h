// Where the records of the list get their figures: after each rebuild the
// list asks the source set here (the store of measured figures, which lives
// above the inventory) to fill each displayed record.
#pragma once

struct DISKINFO_;

class DiskFigures {
 public:
  virtual ~DiskFigures() = default;
  // Copies the device's figures (and their verdicts) into rec; a device
  // without any keeps the zeros it was built with.
  virtual void fill(DISKINFO_* rec) = 0;
};

// nullptr: no source; records keep their zeros.
void setdiskfigures(DiskFigures* source);
void diskfigures(DISKINFO_* rec);
