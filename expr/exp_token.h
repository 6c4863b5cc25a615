#pragma once
// TExpToken: one node of an expression tree (filters, SQL expressions, field defaults, validity
// checks, calculated values), the tree operations over it and the process-wide pool of idle
// tokens.
//
// The numbers of the three enumerations below travel in packed trees (expr/packed_expression.h)
// and are fixed.
//
// Operands by node class:
//   enUNARY      eoNOT, eoMINUS, eoPLUS, eoISBLANK, eoNOTBLANK      Left
//   enBINARY     eoEQ..eoLE, eoAND, eoOR, eoADD..eoDIV             Left, Right
//                (IS NULL / IS NOT NULL are eoEQ / eoNE against a NULL constant)
//   enCOMPARE    eoEQ, eoNE on strings                             Left, Right, PartialLength,
//                                                                  CaseInsensitive
//   enFIELD      -                                                 Name, TableName, FieldNumber
//   enCONST      -                                                 ValueBuffer, IsNull,
//                                                                  IsParameter ("?" marker)
//   enFUNC       eoUPPER, eoLOWER, eoSUBSTRING..eoIDENTCURRENT,    Arguments
//                aggregates eoSUM..eoAVG
//   enEXTBINARY  eoLIKE, eoNOTLIKE, eoBETWEEN, eoNOTBETWEEN,       Arguments (the first is the
//                eoIN, eoNOTIN, eoSUBIN, eoNOTSUBIN                tested value)
//   enTUPLE      -                                                 Query (a sub-select)
//
// Ownership: a token owns Left, Right, Third and every entry of Arguments. A tree has exactly
// one owner and is released only through FreeExpressionTokens (or a TExpTokenPtr, which calls
// it). Third is used only by trees in the old packed form.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

class TDataQuery;     // an SQL query (sql/); tokens refer to it, never own it
class TSourceTable;   // a source table of an SQL query (sql/); likewise

enum TExpNodeClass : std::uint8_t {
  enNULL = 0,
  enUNARY = 1,
  enBINARY = 2,
  enCOMPARE = 3,
  enFIELD = 4,
  enCONST = 5,
  enTUPLE = 6,
  enCONTINUE = 7,
  enUDF = 8,
  enLIST = 9,
  enFUNC = 10,
  enLISTELEM = 11,
  enEXTBINARY = 12,
};
inline constexpr std::uint8_t kLastExpNodeClass = enEXTBINARY;

enum TExpOperator : std::uint8_t {
  eoNOTDEFINED = 0,
  eoISBLANK = 1,
  eoNOTBLANK = 2,
  eoEQ = 3,
  eoNE = 4,
  eoGT = 5,
  eoLT = 6,
  eoGE = 7,
  eoLE = 8,
  eoNOT = 9,
  eoAND = 10,
  eoOR = 11,
  eoTUPLE = 12,
  eoFIELD = 13,
  eoCONST = 14,
  eoMINUS = 15,
  eoPLUS = 16,
  eoADD = 17,
  eoSUB = 18,
  eoMUL = 19,
  eoDIV = 20,
  eoMOD = 21,
  eoREM = 22,
  eoSUM = 23,
  eoRUNSUM = 24,
  eoCOUNT = 25,
  eoMIN = 26,
  eoMAX = 27,
  eoAVG = 28,
  eoCONT = 29,
  eoUDF = 30,
  eoCONTINUE = 31,
  eoLIKE = 32,
  eoIN = 33,
  eoSUBIN = 34,
  eoLIST = 35,
  eoUPPER = 36,
  eoLOWER = 37,
  eoFUNC = 38,
  eoLISTELEM = 39,
  eoASSIGN = 40,
  eoBETWEEN = 41,
  eoNOTBETWEEN = 42,
  eoNOTLIKE = 43,
  eoNOTIN = 44,
  eoNOTSUBIN = 45,
  eoSUBSTRING = 46,
  eoREPLACE = 47,
  eoPOS = 48,
  eoOCCURS = 49,
  eoTRIMLEADING = 50,
  eoTRIMTRAILING = 51,
  eoTRIMBOTH = 52,
  eoLENGTH = 53,
  eoCAST = 54,
  eoEXTRACTYEAR = 55,
  eoEXTRACTMONTH = 56,
  eoEXTRACTWEEK = 57,
  eoEXTRACTDAY = 58,
  eoEXTRACTDAYOFWEEK = 59,
  eoEXTRACTDAYOFYEAR = 60,
  eoEXTRACTHOUR = 61,
  eoEXTRACTMINUTE = 62,
  eoEXTRACTSECOND = 63,
  eoIF = 64,
  eoCOALESCE = 65,
  eoIFNULL = 66,
  eoABS = 67,
  eoROUND = 68,
  eoTEXTSEARCH = 69,
  eoTEXTOCCURS = 70,
  eoLASTAUTOINC = 71,
  eoIDENTCURRENT = 72,
};
inline constexpr std::uint8_t kLastExpOperator = eoIDENTCURRENT;

enum TOptimizeLevel : std::uint8_t {
  olNone = 0,
  olPartial = 1,
  olFull = 2,
};
inline constexpr std::uint8_t kLastOptimizeLevel = olFull;

// Deepest tree the parser builds and the unpacker accepts. The tree operations recurse once per
// level, so this bound is what keeps them (and the evaluator) within the stack.
inline constexpr int kMaxExpressionDepth = 2048;

class TExpToken {
 public:
  static constexpr std::uint32_t kDefaultValueBufferSize = 251;
  static constexpr std::size_t kValueBufferGrowth = 256;
  static constexpr std::size_t kMaxNameLength = 255;  // Name and TableName

  TExpToken();
  TExpToken(const TExpToken&) = delete;
  TExpToken& operator=(const TExpToken&) = delete;
  ~TExpToken() = default;  // links are released by FreeExpressionTokens, never here

  // Back to the state of a new token: a 251-byte zeroed value buffer (one that has grown is
  // reallocated at 251 bytes), every number 0 except OptimizeCount and OptimizeCost (-1), empty
  // strings, no links. The links are dropped, not freed.
  void Initialize();
  // Every field of source, the value buffer's bytes included; the links and arguments are the
  // source's own tokens (shared), which CopyExpressionTokens then replaces by copies.
  void Copy(const TExpToken& source);

  // Grows the value buffer to hold at least size bytes, in steps of 256, zero-filling the
  // growth; never shrinks it.
  void ResizeValueBuffer(std::size_t size);
  // Resizes the buffer for size bytes and records DataSize, when size differs from DataSize.
  void SetDataSize(std::int32_t size);

  // The i-th argument (0-based), or null when i is not below the count.
  TExpToken* GetArgumentExpToken(std::size_t i) const;
  // Stores token as the i-th argument, extending the list with empty entries as needed.
  void SetArgumentExpToken(std::size_t i, TExpToken* token);
  std::size_t ArgumentCount() const { return Arguments.size(); }

  // The node itself (not its subtrees): class, operator, Name and TableName (without regard to
  // case), IsParameter, PartialLength, CaseInsensitive, DataType, SubType, DataSize, Decimals,
  // and for constants IsNull and the first DataSize bytes of the value.
  bool Compare(const TExpToken& other) const;

  std::uint32_t ValueBufferSize = 0;  // allocated size of ValueBuffer
  std::string Text;                   // source text: operator spelling, name or literal
  TExpNodeClass NodeClass = enNULL;
  TExpOperator Operator = eoNOTDEFINED;
  TOptimizeLevel OptimizeLevel = olNone;  // set by the filter optimiser
  std::uint8_t OptimizeWork1 = 0;         // the optimiser's cost-decision flags
  std::uint8_t OptimizeWork2 = 0;
  std::int32_t OptimizeCount = -1;  // estimated matching records, -1 unknown
  std::int32_t OptimizeCost = -1;   // estimated cost, -1 unknown
  std::uint8_t SQLWork1 = 0;        // work bytes of the SQL engine
  std::uint8_t SQLWork2 = 0;
  std::string Name;                 // field, function or parameter name (<= 255)
  std::uint16_t FieldNumber = 0;    // 1-based field number once resolved, 0 unresolved
  std::string TableName;            // table or correlation name of a qualified field (<= 255)
  TSourceTable* SourceTable = nullptr;  // not owned
  TDataQuery* Query = nullptr;          // not owned
  std::unique_ptr<std::uint8_t[]> ValueBuffer;  // the value in its native form
  std::uint8_t IsNull = 0;
  std::uint8_t IsParameter = 0;
  std::int32_t PartialLength = 0;  // enCOMPARE: leading characters compared, 0 whole value
  std::uint8_t CaseInsensitive = 0;
  std::uint8_t DataType = 0;       // 0: untyped (a NULL constant)
  std::uint8_t SubType = 0;
  std::int32_t DataSize = 0;       // meaningful bytes of ValueBuffer, <= ValueBufferSize
  std::uint8_t Decimals = 0;
  std::uint8_t FromStringConstant = 0;  // a string constant turned into a field reference
  std::uint8_t ConstantDataType = 0;    // that constant's own type, kept
  std::uint8_t ConstantSubType = 0;
  std::int32_t ConstantDataSize = 0;
  std::uint8_t ConstantDecimals = 0;
  TExpToken* Left = nullptr;   // owned
  TExpToken* Right = nullptr;  // owned
  TExpToken* Third = nullptr;  // owned; old packed form only
  std::vector<TExpToken*> Arguments;  // owned entries, some possibly null
  std::uint32_t LeftOffset = 0;       // work fields of packing
  std::uint32_t RightOffset = 0;
  std::uint32_t ThirdOffset = 0;
  std::uint32_t ArgumentsOffset = 0;
  std::uint32_t PackPosition = 0;
  std::uint32_t UnpackPosition = 0;
};

// The pool of idle tokens: at most kExpTokenPoolCapacity, shared by the process.
inline constexpr std::size_t kExpTokenPoolCapacity = 256;

// An idle token from the pool, initialised, or a new one.
TExpToken* GetNewExpTokenInstance();
// Pools the token (its links are not followed), or destroys it when the pool is full; clears
// the caller's reference.
void ReturnExpTokenInstance(TExpToken*& token);
std::size_t IdleExpTokenCount();

// Deep copy: new instances for every node (left, right, third, then the arguments); null
// gives null.
TExpToken* CopyExpressionTokens(const TExpToken* root);
// Returns every node of the tree to the pool and clears the caller's reference. Iterative, so
// a tree of any depth can be released.
void FreeExpressionTokens(TExpToken*& root);
// Structural equality: both absent, or equal nodes (Compare) whose left, right and third
// subtrees are equal and whose argument lists have the same length and equal entries.
bool CompareExpressionTokens(const TExpToken* a, const TExpToken* b);
// Number of levels of the tree (0 for none), counted without recursion.
int ExpressionTreeDepth(const TExpToken* root);

// The first field reference: through the operand of an enUNARY, the left then the right of an
// enBINARY, the arguments of an enFUNC or enEXTBINARY in order; null for anything else.
TExpToken* GetFieldToken(TExpToken* node);
// UPPER(field): an enFUNC eoUPPER with exactly one argument, which is a field reference.
bool IsUpperField(const TExpToken* node);
// An enFUNC eoTEXTSEARCH.
bool IsTextSearchFunc(const TExpToken* node);
// SUM, RUNSUM, AVG, MIN, MAX, COUNT (any case) to their operator; anything else eoNOTDEFINED.
TExpOperator GetOperatorForAggregate(const std::string& name);

// Owner of a whole tree: frees it through FreeExpressionTokens.
struct TExpTreeDeleter {
  void operator()(TExpToken* root) const { FreeExpressionTokens(root); }
};
using TExpTokenPtr = std::unique_ptr<TExpToken, TExpTreeDeleter>;

inline TExpTokenPtr NewExpToken() { return TExpTokenPtr(GetNewExpTokenInstance()); }

}  // namespace korvel
