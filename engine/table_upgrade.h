#pragma once
// Conversion of a table of an older format version (0 to 4, shown as "1.00" ... "2.00") to the
// current one (5, "3.00").
//
// Each converted file is written under a temporary table name in the table's own folder (so
// that putting it in place is a rename, never a copy across file systems); once all three are
// complete, the old files are renamed to ".DUP", ".IUP" and ".BUP" (replacing older ones) and
// the converted files take the table's names. The pre-upgrade files thus stay beside the table.
// Then a repair with FixSignatures and ForceIndexRebuild makes the table whole: every index is
// built anew and every BLOB block takes its value's signature.
//
// The older layouts, as far as the conversion reads them (all integers little-endian):
//
// Table header: the 127 bytes of the current header; BlobBlockSize (4), VersionNum (8),
// NextRecordNumber (13), RecordSize (21), FieldCount (23), BlobFieldCount (25), Encrypted (86),
// Password (87), LanguageID (103) and SortID (105) sit at the same offsets in every version.
//
// Field definitions: versions 3 and 4 use the current 768-byte definition (version 3 has no
// CharCase; byte 93 is taken as 0). Versions 0 to 2 use 265 bytes:
//
//   OFFSET  SIZE  DESCRIPTION
//   0       2     FieldNumber
//   2       31    FieldName: length byte + 30
//   33      51    Description: length byte + 50
//   84      1     DataType
//   85      1     SubType
//   86      1     Length
//   87      1     Decimals
//   88      2     the field's offset in the old record (its null-flag byte)
//   90      1     Required
//   91      1     reserved
//   92      51    MinimumValue: length byte + 50 (locale text)
//   143     51    MaximumValue
//   194     51    DefaultValue
//   245     20    reserved
//
// In an encrypted table the block of old definitions is scrambled with the table-data seed
// pair over (count x 768) mod 65,536 bytes (version 3) or (count x 265) mod 65,536 bytes
// (versions 0 to 2); version 4 scrambles it as the current format does.
//
// Records: the first 9 bytes as today; each field at the offset its definition gives, a
// null-flag byte and the value. Values differ from the current forms in two types:
//   BLOB: version 4: a 4-byte byte offset of the value's first block in the old BLOB file and a
//         4-byte signature; versions 0 to 3: the 4-byte offset only.
//   BCD:  a signed 64-bit currency value (1/10,000 units).
// Encrypted records are scrambled whole, as today.
//
// Old BLOB file (every old version): a 512-byte header, then blocks of BlobBlockSize bytes; all
// links are byte offsets in the file instead of block numbers (0 = none):
//
//   header:  0  4  LastUpdateStamp       block: 0   4  PrevBlockOffset
//            4  1  VersionNum                   4   4  NextBlockOffset
//            5  4  NextFreeBlockOffset          8   2  BlockLength
//            9  4  EndOffset (file end)         10  4  BlobSignature (version 4; else 0)
//                                               14  4  BlobLength (first block)
//
// A byte offset o > 0 is block number (o - 512) div BlobBlockSize + 1. Scrambling as today.
//
// Index file: versions 3 and 4 have the current 4,096-byte header. Versions 0 to 2 have a
// 2,560-byte header:
//
//   OFFSET  SIZE     DESCRIPTION
//   0       4        LastUpdateStamp
//   4       1        VersionNum
//   5       1        IndexCount (secondary indexes, 0 to 30)
//   6       2        reserved
//   8       31 x 80  definitions: slot 0 the primary index, then the secondary indexes
//   2488    72       reserved
//
// Old index definition (80 bytes): IndexName (0, length byte + 30), KeySize (31, 2),
// Descending (33), CaseInsensitive (34), Unique (35), KeyFieldCount (36), KeyFields (37, 16 x 2),
// RootPageNumber (69, 4), NextFreePageNumber (73, 4), reserved (77, 3). A primary index without
// key fields means the table has none. Pages of older versions are not read: the repair that
// ends the upgrade builds every index anew, so the converted index file holds the header only.

#include <string>

#include "engine/data_cursor.h"
#include "engine/table_repair.h"

namespace korvel {

inline constexpr std::uint8_t kCurrentTableVersion = 5;

class TTableUpgrade {
 public:
  explicit TTableUpgrade(TDataCursor& cursor);

  TRepairLogCallback UpgradeLog;
  TRepairProgressCallback UpgradeProgress;

  // Converts the table (closed cursor, exclusive, writable). A table already at the current
  // version, or above it, is left alone with a log line; false then. A scrambled table needs
  // its password in the session (asked through the cursor's password callback): else
  // KORVEL_NOTSUFFTABLERIGHTS. True when the table was converted and the closing repair found
  // nothing it could not fix.
  bool UpgradeTable();

 private:
  TDataCursor& cursor_;
};

}  // namespace korvel
