// Dialog 103 as the built DLL carries it, read back through the resource functions and
// compared field by field with the template the dialog was designed as.
#include <windows.h>

#include <gtest/gtest.h>

#include "support/dialog_template.h"
#include "support/module_loader.h"

namespace pngtrans::test {
namespace {

TEST(DialogResource, Dialog103MatchesItsTemplateFieldByField) {
  LoadedModule module;
  ASSERT_TRUE(module.ok()) << module.error();
  HMODULE dll = static_cast<HMODULE>(module.handle());
  HRSRC found = FindResourceExA(dll, MAKEINTRESOURCEA(5), MAKEINTRESOURCEA(103),
                                MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
  ASSERT_NE(found, nullptr) << "no dialog 103 in language 1041";
  HGLOBAL loaded = LoadResource(dll, found);
  ASSERT_NE(loaded, nullptr);
  ExpectDialog103Template(static_cast<const uint8_t*>(LockResource(loaded)),
                          SizeofResource(dll, found));
}

}  // namespace
}  // namespace pngtrans::test
