#include "lic_func.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using velmor_lic::ErrorBase;

TEST(ErrorBase, StartsEmptyWithTheLastByteZero) {
    ErrorBase e;
    EXPECT_STREQ(e.getErr(), "");
    EXPECT_EQ(e.getErr()[1023], '\0');
}

TEST(ErrorBase, KeepsAtMost1022CharactersAndReturnsTheFullLength) {
    for (const size_t length : {size_t{0}, size_t{1}, size_t{1022}, size_t{1023}, size_t{1500}}) {
        SCOPED_TRACE(length);
        ErrorBase e;
        const std::string text(length, 'e');
        EXPECT_EQ(e.setErr("%s", text.c_str()), static_cast<int>(length));
        EXPECT_EQ(std::string(e.getErr()), text.substr(0, 1022));
        EXPECT_EQ(e.getErr()[1023], '\0');
    }
}

TEST(ErrorBase, NewTextReplacesTheOldOne) {
    ErrorBase e;
    e.setErr("%s", std::string(1500, 'x').c_str());
    EXPECT_EQ(e.setErr("[%d,%s]", 2, "No such file"), 16);
    EXPECT_STREQ(e.getErr(), "[2,No such file]");
}

TEST(ErrorBase, DerivedObjectIsDestroyedThroughTheBase) {
    static bool derived_destroyed;
    struct Derived : ErrorBase {
        ~Derived() override { derived_destroyed = true; }
    };
    derived_destroyed = false;
    std::unique_ptr<ErrorBase> base = std::make_unique<Derived>();
    base.reset();
    EXPECT_TRUE(derived_destroyed);
}

}  // namespace
