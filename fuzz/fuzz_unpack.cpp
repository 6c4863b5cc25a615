// Unpacks arbitrary bytes as a packed tree in both forms. Bytes from outside must be refused
// cleanly or give a tree that packs and unpacks to itself.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "expr/packed_expression.h"

namespace korvel {
namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// The current form carries no third link and no empty argument slot (it packs one as a NULL
// node); trees read from the old form may have either.
bool CurrentFormCarries(const TExpToken* t) {
  if (t == nullptr) return true;
  if (t->Third != nullptr) return false;
  for (const TExpToken* a : t->Arguments) {
    if (a == nullptr || !CurrentFormCarries(a)) return false;
  }
  return CurrentFormCarries(t->Left) && CurrentFormCarries(t->Right);
}

void Exercise(TExpToken* tree) {
  std::vector<std::uint8_t> buffer;
  PackExpressionTokens(tree, buffer);
  TExpTokenPtr again = UnpackExpressionTokens(buffer.data(), buffer.size());
  Check(!CurrentFormCarries(tree) || CompareExpressionTokens(tree, again.get()));
  TExpTokenPtr copy(CopyExpressionTokens(tree));
  Check(CompareExpressionTokens(tree, copy.get()));
  (void)GetFieldToken(tree);
  (void)IsUpperField(tree);
}

}  // namespace
}  // namespace korvel

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvel;
  try {
    TExpTokenPtr tree = UnpackExpressionTokens(data, size);
    if (tree) Exercise(tree.get());
  } catch (const EKORVELEngineError& e) {
    Check(e.ErrorCode == KORVEL_REMOTEUNKNOWN);
  }
  try {
    std::size_t consumed = 0;
    TExpTokenPtr tree = OldUnpackExpressionTokens(data, size, KORVEL_REMOTEUNKNOWN, "", &consumed);
    Check(consumed <= size);
    if (tree) {
      std::vector<std::uint8_t> buffer;
      OldPackExpressionTokens(tree.get(), buffer);
      TExpTokenPtr again = OldUnpackExpressionTokens(buffer.data(), buffer.size());
      Check(CompareExpressionTokens(tree.get(), again.get()));
      // Reading the old links back into arguments must keep every node owned exactly once.
      ConvertFromOldExpressionTokens(tree.get());
      Exercise(tree.get());
    }
  } catch (const EKORVELEngineError& e) {
    Check(e.ErrorCode == KORVEL_REMOTEUNKNOWN || e.ErrorCode == KORVEL_REMOTEVERSION);
  }
  return 0;
}
