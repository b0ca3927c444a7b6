#include "app/VersionInfo.h"

#include <gtest/gtest.h>

TEST(VersionInfo, DerivedTextsFollowTheVersionDate) {
    EXPECT_EQ(versionDate(), QStringLiteral("20261117"));
    EXPECT_EQ(versionYear(), QStringLiteral("2026"));
    EXPECT_EQ(versionDateText(), QStringLiteral("2026/11/17"));
    bool ok = false;
    EXPECT_GT(appVersion().toDouble(&ok), 0.0);
    EXPECT_TRUE(ok);
    referenceEditionVersion().toDouble(&ok);
    EXPECT_TRUE(ok);
}
