#include "common/ui/FormPlacement.h"

#include <gtest/gtest.h>

#include "common/registry/KmRegistry.h"
#include "common/ui/KmForm.h"
#include "support/Sandbox.h"

namespace {

TEST(FormPlacement, SavedBelowAppStorageAndRestored) {
    kmtest::Sandbox sandbox;
    km::SetRegistryRoot("Software\\kelmirath\\Tolvan");
    auto saved = km::TKmForm::MakeForm<km::TKmForm>();
    saved->setObjectName("Placed");
    saved->setGeometry(40, 50, 320, 240);
    saved->SaveFormPosition();
    const std::string key = "Software\\kelmirath\\Tolvan\\AppStorage\\Placed";
    EXPECT_EQ(km::FormPlacementKey(*saved), key);
    EXPECT_EQ(km::ReadRegString("Width", "", key, true), "320");

    auto restored = km::TKmForm::MakeForm<km::TKmForm>();
    restored->setObjectName("Placed");
    restored->LoadFormPosition();
    EXPECT_EQ(restored->geometry(), QRect(40, 50, 320, 240));

    // Nothing stored, or a damaged value: the window stays as it is.
    auto other = km::TKmForm::MakeForm<km::TKmForm>();
    other->setObjectName("Other");
    other->setGeometry(1, 2, 30, 40);
    EXPECT_FALSE(km::LoadFormPlacement(*other));
    km::WriteRegString("Width", "breit", key, true);
    EXPECT_FALSE(km::LoadFormPlacement(*restored));
    EXPECT_EQ(other->geometry(), QRect(1, 2, 30, 40));
}

}  // namespace
