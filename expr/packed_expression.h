#pragma once
// The packed byte forms of an expression tree, as the remote protocol carries them.
//
// Every item is a 4-byte little-endian length L followed by L bytes. One token's record in the
// current form is these 18 items:
//
//    #  ITEM              L
//    1  Text              length of the text (no terminator)
//    2  NodeClass         1
//    3  Operator          1
//    4  OptimizeLevel     1
//    5  Name              length of the name (no length byte; at most 255)
//    6  FieldNumber       2
//    7  DataSize          4
//    8  value buffer      DataSize
//    9  IsNull            1
//   10  PartialLength     4
//   11  CaseInsensitive   1
//   12  DataType          1
//   13  SubType           1
//   14  Decimals          1
//   15  LeftOffset        4
//   16  RightOffset       4
//   17  argument count    4
//   18  ArgumentsOffset   4
//
// The old form (servers before engine version 30400) has items 1-14, then LeftOffset,
// RightOffset and ThirdOffset: 17 items, no argument lists, at most three operand links.
//
// A tree is laid out in pre-order from offset 0: a node's record, its whole left subtree, its
// whole right subtree (old form: then the third), then each argument subtree in order. Offsets
// are absolute from the start of the buffer; 0 means absent (no subtree can start at 0). The
// reader positions every subtree by the pre-order rule alone; an offset only says whether the
// subtree is there, and must lie inside the buffer.
//
// Unpacking trusts nothing: every length must fit in what is left of the buffer, fixed items
// must have exactly their width, DataSize must equal the value item's length, enumerations must
// hold known values, argument counts must be possible in the bytes left, and trees deeper than
// kMaxExpressionDepth are refused. A refusal raises the caller's error code.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "expr/exp_token.h"
#include "support/errors.h"

namespace korvel {

inline constexpr std::size_t kPackedItemCount = 18;
inline constexpr std::size_t kOldPackedItemCount = 17;
inline constexpr std::size_t kPackedLengthSize = 4;  // the length in front of every item

// Size of one node's record (not its subtrees), current and old form.
std::size_t GetPackSize(const TExpToken& token);
std::size_t GetOldPackSize(const TExpToken& token);
// Size of the whole packed tree.
std::size_t GetTotalPackSize(const TExpToken* root);
std::size_t GetOldTotalPackSize(const TExpToken* root);

// Packs the tree into buffer (replacing its contents) and returns the total length. The
// offsets recorded in the tokens' work fields are those written. An empty tree packs to nothing.
std::size_t PackExpressionTokens(TExpToken* root, std::vector<std::uint8_t>& buffer);
// The old form. The tree must already be in old-form links (ConvertToOldExpressionTokens); a node
// that still has arguments cannot be expressed and raises errorCode.
std::size_t OldPackExpressionTokens(TExpToken* root, std::vector<std::uint8_t>& buffer,
                                    TErrorCode errorCode = KORVEL_REMOTEVERSION,
                                    const std::string& remoteName = "");

// Rebuilds a tree from data[0, size). With consumed null the buffer must hold exactly one tree
// (bytes after it are refused); otherwise *consumed receives the tree's length and anything
// after it is the caller's. Malformed input raises errorCode with remoteName as the server
// context and a description of the fault as the extra message; nothing is leaked.
TExpTokenPtr UnpackExpressionTokens(const void* data, std::size_t size,
                                    TErrorCode errorCode = KORVEL_REMOTEUNKNOWN,
                                    const std::string& remoteName = "",
                                    std::size_t* consumed = nullptr);
TExpTokenPtr OldUnpackExpressionTokens(const void* data, std::size_t size,
                                       TErrorCode errorCode = KORVEL_REMOTEUNKNOWN,
                                       const std::string& remoteName = "",
                                       std::size_t* consumed = nullptr);

// Rewrites a current tree in place into the old form's operand links, and back:
//
//   NODE                                   OLD-FORM LINKS
//   aggregates, UPPER, LOWER, LENGTH,      left = arg 0
//   EXTRACT, ABS
//   SUBSTRING, BETWEEN, NOT BETWEEN        left = arg 0, right = arg 1, arg 2 on right's right
//   REPLACE                                left = arg 2 (subject), right = arg 0, arg 1 on
//                                          right's right
//   POS, OCCURS, TRIM                      left = arg 1, right = arg 0
//   CAST                                   left = arg 0, right = arg 1, arg 2 on right's right
//   IF                                     left, right, third = args 0, 1, 2
//   LIKE, NOT LIKE, ROUND, sub-select IN   left = arg 0, right = arg 1
//   IN, NOT IN with a list                 left = arg 0, the values chained through right links
//   COALESCE, IFNULL, TEXTSEARCH, ...      unchanged (the old form cannot carry them)
//
// Every moved operand is rewritten too, not only the left one, so that a function inside a
// LIKE pattern or an IN value keeps its operand. Where a node chains through right links
// (SUBSTRING, BETWEEN, REPLACE, CAST, IN lists), an operand that needs its own right link (a
// sum, a comparison) would be overwritten or misread on the way back: such a tree raises
// errorCode rather than being cut. So does a tree whose chains exceed kMaxExpressionDepth.
void ConvertToOldExpressionTokens(TExpToken* root, TErrorCode errorCode = KORVEL_REMOTEVERSION,
                                  const std::string& remoteName = "");
void ConvertFromOldExpressionTokens(TExpToken* root);

}  // namespace korvel
