#include "expr/packed_expression.h"

#include <cstring>

#include "support/byte_order.h"

namespace korvel {

namespace {

// Sum of (4 + L) over items 1-14, which both forms share.
std::size_t CommonRecordSize(const TExpToken& t) {
  std::size_t dataSize = t.DataSize > 0 ? static_cast<std::size_t>(t.DataSize) : 0;
  return 14 * kPackedLengthSize + t.Text.size() + 1 + 1 + 1 + t.Name.size() + 2 + 4 + dataSize +
         1 + 4 + 1 + 1 + 1 + 1;
}

// Writes items into a record whose room is already reserved in the buffer.
class TRecordWriter {
 public:
  TRecordWriter(std::vector<std::uint8_t>& buffer, std::size_t at) : buffer_(buffer), pos_(at) {}

  void Bytes(const void* data, std::size_t length) {
    PutU32(buffer_.data(), pos_, static_cast<std::uint32_t>(length));
    pos_ += kPackedLengthSize;
    if (length > 0) std::memcpy(buffer_.data() + pos_, data, length);
    pos_ += length;
  }
  void U8(std::uint8_t v) { Bytes(&v, 1); }
  void U16(std::uint16_t v) {
    std::uint8_t b[2];
    PutU16(b, 0, v);
    Bytes(b, 2);
  }
  void U32(std::uint32_t v) {
    std::uint8_t b[4];
    PutU32(b, 0, v);
    Bytes(b, 4);
  }
  std::size_t Position() const { return pos_; }

 private:
  std::vector<std::uint8_t>& buffer_;
  std::size_t pos_;
};

void WriteCommonItems(TRecordWriter& w, const TExpToken& t) {
  std::size_t dataSize = t.DataSize > 0 ? static_cast<std::size_t>(t.DataSize) : 0;
  w.Bytes(t.Text.data(), t.Text.size());
  w.U8(t.NodeClass);
  w.U8(t.Operator);
  w.U8(t.OptimizeLevel);
  w.Bytes(t.Name.data(), t.Name.size());
  w.U16(t.FieldNumber);
  w.U32(static_cast<std::uint32_t>(dataSize));
  w.Bytes(t.ValueBuffer.get(), dataSize);
  w.U8(t.IsNull);
  w.U32(static_cast<std::uint32_t>(t.PartialLength));
  w.U8(t.CaseInsensitive);
  w.U8(t.DataType);
  w.U8(t.SubType);
  w.U8(t.Decimals);
}

// Packs the subtree at the buffer's end; returns the end offset.
std::size_t PackNode(TExpToken* node, std::vector<std::uint8_t>& buffer) {
  const std::size_t a = buffer.size();
  const std::size_t recordSize = GetPackSize(*node);
  buffer.resize(a + recordSize);
  node->PackPosition = static_cast<std::uint32_t>(a);
  node->LeftOffset = node->RightOffset = node->ArgumentsOffset = 0;
  if (node->Left) {
    node->LeftOffset = static_cast<std::uint32_t>(buffer.size());
    PackNode(node->Left, buffer);
  }
  if (node->Right) {
    node->RightOffset = static_cast<std::uint32_t>(buffer.size());
    PackNode(node->Right, buffer);
  }
  if (!node->Arguments.empty()) {
    node->ArgumentsOffset = static_cast<std::uint32_t>(buffer.size());
    for (TExpToken* arg : node->Arguments) {
      // An empty argument slot has no record; it packs as a NULL node so the count stays true.
      if (arg) {
        PackNode(arg, buffer);
      } else {
        TExpTokenPtr placeholder = NewExpToken();
        PackNode(placeholder.get(), buffer);
      }
    }
  }
  TRecordWriter w(buffer, a);
  WriteCommonItems(w, *node);
  w.U32(node->LeftOffset);
  w.U32(node->RightOffset);
  w.U32(static_cast<std::uint32_t>(node->Arguments.size()));
  w.U32(node->ArgumentsOffset);
  return buffer.size();
}

std::size_t OldPackNode(TExpToken* node, std::vector<std::uint8_t>& buffer, TErrorCode errorCode,
                        const std::string& remoteName) {
  if (!node->Arguments.empty()) {
    RaiseError(errorCode, remoteName, "", "", "", "", "",
               "The " + (node->Text.empty() ? std::string("expression") : node->Text) +
                   " function cannot be sent in the packed form of this server version");
  }
  const std::size_t a = buffer.size();
  buffer.resize(a + GetOldPackSize(*node));
  node->PackPosition = static_cast<std::uint32_t>(a);
  node->LeftOffset = node->RightOffset = node->ThirdOffset = 0;
  if (node->Left) {
    node->LeftOffset = static_cast<std::uint32_t>(buffer.size());
    OldPackNode(node->Left, buffer, errorCode, remoteName);
  }
  if (node->Right) {
    node->RightOffset = static_cast<std::uint32_t>(buffer.size());
    OldPackNode(node->Right, buffer, errorCode, remoteName);
  }
  if (node->Third) {
    node->ThirdOffset = static_cast<std::uint32_t>(buffer.size());
    OldPackNode(node->Third, buffer, errorCode, remoteName);
  }
  TRecordWriter w(buffer, a);
  WriteCommonItems(w, *node);
  w.U32(node->LeftOffset);
  w.U32(node->RightOffset);
  w.U32(node->ThirdOffset);
  return buffer.size();
}

// Reads records from bytes that came from outside; every read is checked against the end.
class TRecordReader {
 public:
  TRecordReader(const void* data, std::size_t size, TErrorCode code, const std::string& remote)
      : data_(static_cast<const std::uint8_t*>(data)), size_(size), code_(code), remote_(remote) {}

  [[noreturn]] void Fail(const std::string& what) const {
    RaiseError(code_, remote_, "", "", "", "", "",
               "Invalid packed expression: " + what + " at offset " + std::to_string(pos_));
  }

  // One item of any length; returns its bytes and sets length.
  const std::uint8_t* Item(std::size_t& length) {
    if (size_ - pos_ < kPackedLengthSize) Fail("item length past the end of the buffer");
    length = GetU32(data_, pos_);
    if (length > size_ - pos_ - kPackedLengthSize) Fail("item longer than the rest of the buffer");
    const std::uint8_t* p = data_ + pos_ + kPackedLengthSize;
    pos_ += kPackedLengthSize + length;
    return p;
  }
  const std::uint8_t* Fixed(std::size_t width, const char* name) {
    std::size_t length = 0;
    const std::uint8_t* p = Item(length);
    if (length != width) Fail(std::string("wrong length of ") + name);
    return p;
  }
  std::uint8_t U8(const char* name) { return *Fixed(1, name); }
  std::uint16_t U16(const char* name) {
    return GetU16(Fixed(2, name), 0);
  }
  std::uint32_t U32(const char* name) { return GetU32(Fixed(4, name), 0); }
  // A subtree offset: 0 (absent) or a place inside the buffer.
  std::uint32_t Offset(const char* name) {
    std::uint32_t v = U32(name);
    if (v != 0 && v >= size_) Fail(std::string(name) + " outside the buffer");
    return v;
  }

  std::size_t Position() const { return pos_; }
  std::size_t Remaining() const { return size_ - pos_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  TErrorCode code_;
  const std::string& remote_;
};

void ReadCommonItems(TRecordReader& r, TExpToken& t) {
  std::size_t length = 0;
  const std::uint8_t* p = r.Item(length);
  t.Text.assign(reinterpret_cast<const char*>(p), length);
  std::uint8_t nodeClass = r.U8("node class");
  if (nodeClass > kLastExpNodeClass) r.Fail("unknown node class");
  t.NodeClass = static_cast<TExpNodeClass>(nodeClass);
  std::uint8_t op = r.U8("operator");
  if (op > kLastExpOperator) r.Fail("unknown operator");
  t.Operator = static_cast<TExpOperator>(op);
  std::uint8_t level = r.U8("optimize level");
  if (level > kLastOptimizeLevel) r.Fail("unknown optimize level");
  t.OptimizeLevel = static_cast<TOptimizeLevel>(level);
  p = r.Item(length);
  if (length > TExpToken::kMaxNameLength) r.Fail("name longer than 255 characters");
  t.Name.assign(reinterpret_cast<const char*>(p), length);
  t.FieldNumber = r.U16("field number");
  std::uint32_t dataSize = r.U32("data size");
  if (dataSize > 0x7FFFFFFFu) r.Fail("data size out of range");
  p = r.Item(length);
  if (length != dataSize) r.Fail("value length differs from the data size");
  t.SetDataSize(static_cast<std::int32_t>(dataSize));  // dataSize < buffer size < 2^32 - 4
  if (length > 0) std::memcpy(t.ValueBuffer.get(), p, length);
  t.IsNull = r.U8("null flag");
  t.PartialLength = static_cast<std::int32_t>(r.U32("partial length"));
  t.CaseInsensitive = r.U8("case flag");
  t.DataType = r.U8("data type");
  t.SubType = r.U8("subtype");
  t.Decimals = r.U8("decimals");
}

// Smallest record either form can have: every item empty but the fixed ones.
constexpr std::size_t kMinRecordSize = 17 * kPackedLengthSize + 1 + 1 + 1 + 2 + 4 + 1 + 4 + 1 +
                                       1 + 1 + 1 + 4 + 4 + 4;

TExpTokenPtr UnpackNode(TRecordReader& r, int depth) {
  if (depth > kMaxExpressionDepth) r.Fail("tree nested too deeply");
  TExpTokenPtr node = NewExpToken();
  node->UnpackPosition = static_cast<std::uint32_t>(r.Position());
  ReadCommonItems(r, *node);
  node->LeftOffset = r.Offset("left offset");
  node->RightOffset = r.Offset("right offset");
  std::uint32_t count = r.U32("argument count");
  node->ArgumentsOffset = r.Offset("arguments offset");
  // Each argument needs a whole record after this one; a count beyond that is damage, and
  // refusing it here keeps a forged count from allocating memory.
  if (count > 0 && (node->ArgumentsOffset == 0 || count > r.Remaining() / kMinRecordSize)) {
    r.Fail("argument count does not fit");
  }
  if (count == 0 && node->ArgumentsOffset != 0) r.Fail("arguments offset without arguments");
  if (node->LeftOffset != 0) node->Left = UnpackNode(r, depth + 1).release();
  if (node->RightOffset != 0) node->Right = UnpackNode(r, depth + 1).release();
  node->Arguments.assign(count, nullptr);
  for (std::uint32_t i = 0; i < count; ++i) {
    node->Arguments[i] = UnpackNode(r, depth + 1).release();
  }
  return node;
}

TExpTokenPtr OldUnpackNode(TRecordReader& r, int depth) {
  if (depth > kMaxExpressionDepth) r.Fail("tree nested too deeply");
  TExpTokenPtr node = NewExpToken();
  node->UnpackPosition = static_cast<std::uint32_t>(r.Position());
  ReadCommonItems(r, *node);
  node->LeftOffset = r.Offset("left offset");
  node->RightOffset = r.Offset("right offset");
  node->ThirdOffset = r.Offset("third offset");
  if (node->LeftOffset != 0) node->Left = OldUnpackNode(r, depth + 1).release();
  if (node->RightOffset != 0) node->Right = OldUnpackNode(r, depth + 1).release();
  if (node->ThirdOffset != 0) node->Third = OldUnpackNode(r, depth + 1).release();
  return node;
}

template <typename UnpackFn>
TExpTokenPtr UnpackTree(const void* data, std::size_t size, TErrorCode errorCode,
                        const std::string& remoteName, std::size_t* consumed, UnpackFn unpack) {
  if (consumed) *consumed = 0;
  if (size == 0) return nullptr;
  if (data == nullptr) RaiseError(errorCode, remoteName, "", "", "", "", "", "Invalid packed expression: no data");
  TRecordReader reader(data, size, errorCode, remoteName);
  TExpTokenPtr root = unpack(reader, 1);
  if (consumed) {
    *consumed = reader.Position();
  } else if (reader.Remaining() != 0) {
    reader.Fail("bytes after the end of the tree");
  }
  return root;
}

}  // namespace

std::size_t GetPackSize(const TExpToken& token) {
  return CommonRecordSize(token) + 4 * (kPackedLengthSize + 4);
}

std::size_t GetOldPackSize(const TExpToken& token) {
  return CommonRecordSize(token) + 3 * (kPackedLengthSize + 4);
}

std::size_t GetTotalPackSize(const TExpToken* root) {
  if (root == nullptr) return 0;
  std::size_t total = GetPackSize(*root) + GetTotalPackSize(root->Left) + GetTotalPackSize(root->Right);
  for (const TExpToken* arg : root->Arguments) {
    total += arg ? GetTotalPackSize(arg) : GetPackSize(TExpToken());
  }
  return total;
}

std::size_t GetOldTotalPackSize(const TExpToken* root) {
  if (root == nullptr) return 0;
  return GetOldPackSize(*root) + GetOldTotalPackSize(root->Left) +
         GetOldTotalPackSize(root->Right) + GetOldTotalPackSize(root->Third);
}

std::size_t PackExpressionTokens(TExpToken* root, std::vector<std::uint8_t>& buffer) {
  buffer.clear();
  if (root == nullptr) return 0;
  return PackNode(root, buffer);
}

std::size_t OldPackExpressionTokens(TExpToken* root, std::vector<std::uint8_t>& buffer,
                                    TErrorCode errorCode, const std::string& remoteName) {
  buffer.clear();
  if (root == nullptr) return 0;
  return OldPackNode(root, buffer, errorCode, remoteName);
}

TExpTokenPtr UnpackExpressionTokens(const void* data, std::size_t size, TErrorCode errorCode,
                                    const std::string& remoteName, std::size_t* consumed) {
  return UnpackTree(data, size, errorCode, remoteName, consumed, UnpackNode);
}

TExpTokenPtr OldUnpackExpressionTokens(const void* data, std::size_t size, TErrorCode errorCode,
                                       const std::string& remoteName, std::size_t* consumed) {
  return UnpackTree(data, size, errorCode, remoteName, consumed, OldUnpackNode);
}

// ---- conversion between the two link layouts --------------------------------------------

namespace {

enum class TOldLayout {
  kUnchanged,   // not rewritten; unary and binary operands are followed
  kLeft,        // left = arg 0
  kLeftRightChained,  // left = arg 0, right = arg 1, arg 2 on right's right
  kReplace,     // left = arg 2, right = arg 0, arg 1 on right's right
  kSwapped,     // left = arg 1, right = arg 0
  kIf,          // left, right, third = args 0, 1, 2
  kLeftRight,   // left = arg 0, right = arg 1
  kList,        // left = arg 0, values chained through right links
  kOpaque,      // functions the old form cannot carry: left as they are
};

TOldLayout OldLayoutOf(const TExpToken& t) {
  if (t.NodeClass != enFUNC && t.NodeClass != enEXTBINARY) return TOldLayout::kUnchanged;
  switch (t.Operator) {
    case eoSUM: case eoRUNSUM: case eoCOUNT: case eoMIN: case eoMAX: case eoAVG:
    case eoUPPER: case eoLOWER: case eoLENGTH: case eoABS:
    case eoEXTRACTYEAR: case eoEXTRACTMONTH: case eoEXTRACTWEEK: case eoEXTRACTDAY:
    case eoEXTRACTDAYOFWEEK: case eoEXTRACTDAYOFYEAR: case eoEXTRACTHOUR:
    case eoEXTRACTMINUTE: case eoEXTRACTSECOND:
      return TOldLayout::kLeft;
    case eoSUBSTRING: case eoBETWEEN: case eoNOTBETWEEN: case eoCAST:
      return TOldLayout::kLeftRightChained;
    case eoREPLACE:
      return TOldLayout::kReplace;
    case eoPOS: case eoOCCURS: case eoTRIMLEADING: case eoTRIMTRAILING: case eoTRIMBOTH:
      return TOldLayout::kSwapped;
    case eoIF:
      return TOldLayout::kIf;
    case eoLIKE: case eoNOTLIKE: case eoROUND: case eoSUBIN: case eoNOTSUBIN:
      return TOldLayout::kLeftRight;
    case eoIN: case eoNOTIN:
      return TOldLayout::kList;
    default:
      return TOldLayout::kOpaque;
  }
}

struct TConvertContext {
  TErrorCode code;
  const std::string& remote;
  [[noreturn]] void Fail(const TExpToken& node) const {
    RaiseError(code, remote, "", "", "", "", "",
               "The arguments of the " + node.Text +
                   " expression cannot be expressed in the packed form of this server version");
  }
};

void ToOld(TExpToken* node, const TConvertContext& ctx);

// Converts an operand that is about to be linked; a chained successor needs its right link free.
void ToOldOperand(TExpToken* operand, bool rightMustStayFree, const TExpToken& owner,
                  const TConvertContext& ctx) {
  if (operand == nullptr) return;
  ToOld(operand, ctx);
  if (rightMustStayFree && operand->Right != nullptr) ctx.Fail(owner);
}

void ToOld(TExpToken* node, const TConvertContext& ctx) {
  if (node == nullptr) return;
  TOldLayout layout = OldLayoutOf(*node);
  if (layout == TOldLayout::kUnchanged) {
    ToOld(node->Left, ctx);
    ToOld(node->Right, ctx);
    ToOld(node->Third, ctx);
    return;
  }
  if (layout == TOldLayout::kOpaque) return;
  if (node->Left || node->Right || node->Third) ctx.Fail(*node);  // already linked: not a current tree
  std::vector<TExpToken*>& args = node->Arguments;
  auto arg = [&](std::size_t i) { return i < args.size() ? args[i] : nullptr; };
  switch (layout) {
    case TOldLayout::kLeft:
      if (args.size() > 1) ctx.Fail(*node);
      ToOldOperand(arg(0), false, *node, ctx);
      node->Left = arg(0);
      break;
    case TOldLayout::kLeftRightChained:
    case TOldLayout::kReplace: {
      if (args.size() > 3) ctx.Fail(*node);
      bool replace = layout == TOldLayout::kReplace;
      TExpToken* left = replace ? arg(2) : arg(0);
      TExpToken* right = replace ? arg(0) : arg(1);
      TExpToken* chained = replace ? arg(1) : arg(2);
      if (chained && !right) ctx.Fail(*node);
      ToOldOperand(left, false, *node, ctx);
      ToOldOperand(right, true, *node, ctx);
      ToOldOperand(chained, false, *node, ctx);
      node->Left = left;
      node->Right = right;
      if (chained) right->Right = chained;
      break;
    }
    case TOldLayout::kSwapped:
      if (args.size() > 2) ctx.Fail(*node);
      ToOldOperand(arg(1), false, *node, ctx);
      ToOldOperand(arg(0), false, *node, ctx);
      node->Left = arg(1);
      node->Right = arg(0);
      break;
    case TOldLayout::kIf:
      if (args.size() > 3) ctx.Fail(*node);
      for (std::size_t i = 0; i < args.size(); ++i) ToOldOperand(args[i], false, *node, ctx);
      node->Left = arg(0);
      node->Right = arg(1);
      node->Third = arg(2);
      break;
    case TOldLayout::kLeftRight:
      if (args.size() > 2) ctx.Fail(*node);
      ToOldOperand(arg(0), false, *node, ctx);
      ToOldOperand(arg(1), false, *node, ctx);
      node->Left = arg(0);
      node->Right = arg(1);
      break;
    case TOldLayout::kList: {
      for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == nullptr) ctx.Fail(*node);
      }
      ToOldOperand(arg(0), false, *node, ctx);
      for (std::size_t i = 1; i < args.size(); ++i) ToOldOperand(args[i], true, *node, ctx);
      node->Left = arg(0);
      TExpToken* tail = node;
      for (std::size_t i = 1; i < args.size(); ++i) {
        tail->Right = args[i];
        tail = args[i];
      }
      break;
    }
    default:
      break;
  }
  args.clear();
}

void FromOld(TExpToken* node) {
  if (node == nullptr) return;
  TOldLayout layout = OldLayoutOf(*node);
  if (layout == TOldLayout::kUnchanged) {
    FromOld(node->Left);
    FromOld(node->Right);
    FromOld(node->Third);
    return;
  }
  if (layout == TOldLayout::kOpaque || !node->Arguments.empty()) return;
  TExpToken* left = node->Left;
  TExpToken* right = node->Right;
  TExpToken* third = node->Third;
  node->Left = node->Right = node->Third = nullptr;
  std::vector<TExpToken*> args;
  auto detachChained = [](TExpToken* r) {
    if (r == nullptr) return static_cast<TExpToken*>(nullptr);
    TExpToken* c = r->Right;
    r->Right = nullptr;
    return c;
  };
  switch (layout) {
    case TOldLayout::kLeft:
      args = {left};
      if (right) args.push_back(right);  // not ours to drop
      if (third) args.push_back(third);
      break;
    case TOldLayout::kLeftRightChained: {
      TExpToken* chained = detachChained(right);
      args = {left, right};
      if (chained) args.push_back(chained);
      if (third) args.push_back(third);
      break;
    }
    case TOldLayout::kReplace: {
      TExpToken* chained = detachChained(right);
      args = {right, chained, left};
      if (third) args.push_back(third);
      break;
    }
    case TOldLayout::kSwapped:
      args = {right, left};
      if (third) args.push_back(third);
      break;
    case TOldLayout::kIf:
      args = {left, right, third};
      break;
    case TOldLayout::kLeftRight:
      args = {left};
      if (right) args.push_back(right);
      if (third) args.push_back(third);
      break;
    case TOldLayout::kList: {
      args = {left};
      for (TExpToken* v = right; v != nullptr;) {
        TExpToken* next = v->Right;
        v->Right = nullptr;
        args.push_back(v);
        v = next;
      }
      if (third) args.push_back(third);
      break;
    }
    default:
      break;
  }
  while (!args.empty() && args.back() == nullptr) args.pop_back();
  for (TExpToken* a : args) FromOld(a);
  node->Arguments = std::move(args);
}

}  // namespace

void ConvertToOldExpressionTokens(TExpToken* root, TErrorCode errorCode,
                                  const std::string& remoteName) {
  TConvertContext ctx{errorCode, remoteName};
  ToOld(root, ctx);
  if (ExpressionTreeDepth(root) > kMaxExpressionDepth) {
    RaiseError(errorCode, remoteName, "", "", "", "", "",
               "The expression is nested too deeply for the packed form of this server version");
  }
}

void ConvertFromOldExpressionTokens(TExpToken* root) { FromOld(root); }

}  // namespace korvel
