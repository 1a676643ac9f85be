#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/userstore.h"
#include "testsupport.h"

namespace us = qn::platform::userstore;

TEST(UserStore, StoresTypedValuesUnderCaseInsensitiveKeys) {
    qn::test::IsolatedEnvironment env;
    EXPECT_EQ(us::StorePath(), env.file("registry.ini"));
    const std::string strKey = "Software\\Quillon\\Zelto Bookmarks\\SystemLog";
    EXPECT_FALSE(us::KeyExists(strKey));
    EXPECT_FALSE(us::GetValue(strKey, "x").has_value());

    us::Value number;
    number.type = us::ValueType::Number;
    number.number = 0xFFFFFFFFu;
    ASSERT_TRUE(us::SetValue(strKey, "Big", number));
    us::Value text;
    text.text = "  line one\r\nline=two; [x] \"q\" \\x41 \t";
    ASSERT_TRUE(us::SetValue(strKey, " odd=name; ", text));

    EXPECT_TRUE(us::KeyExists("software\\quillon\\zelto bookmarks\\systemlog"));
    auto big = us::GetValue(strKey, "BIG");
    ASSERT_TRUE(big.has_value());
    EXPECT_EQ(big->type, us::ValueType::Number);
    EXPECT_EQ(big->number, 0xFFFFFFFFu);
    auto odd = us::GetValue(strKey, " odd=name; ");
    ASSERT_TRUE(odd.has_value());
    EXPECT_EQ(odd->type, us::ValueType::String);
    EXPECT_EQ(odd->text, text.text) << "any bytes survive the store";
    EXPECT_EQ(us::ListValues(strKey), (std::vector<std::string>{"Big", " odd=name; "}));

    EXPECT_TRUE(us::DeleteValue(strKey, "big"));
    EXPECT_FALSE(us::DeleteValue(strKey, "big"));
    EXPECT_EQ(us::ListValues(strKey), (std::vector<std::string>{" odd=name; "}));
}

TEST(UserStore, KeysExistOnceCreatedEvenEmpty) {
    qn::test::IsolatedEnvironment env;
    ASSERT_TRUE(us::CreateKey("A\\B"));
    EXPECT_TRUE(us::KeyExists("a\\b"));
    EXPECT_FALSE(us::KeyExists("A"));
    EXPECT_TRUE(us::ListValues("A\\B").empty());
    ASSERT_TRUE(us::CreateKey("A\\B"));
    EXPECT_EQ(us::ListValues("A\\B").size(), 0u);
    EXPECT_FALSE(us::CreateKey(""));
}

TEST(UserStore, AMalformedStoreReadsAsAbsentValues) {
    qn::test::IsolatedEnvironment env;
    qn::test::WriteFile(us::StorePath(),
                        "[K]\nnum=N:notanumber\nbig=N:99999999999\nraw=plain\nok=S:fine\n");
    EXPECT_FALSE(us::GetValue("K", "num").has_value());
    EXPECT_FALSE(us::GetValue("K", "big").has_value());
    EXPECT_FALSE(us::GetValue("K", "raw").has_value());
    ASSERT_TRUE(us::GetValue("K", "ok").has_value());
    EXPECT_EQ(us::GetValue("K", "ok")->text, "fine");
}

TEST(Paths, SharedObjectNamesAreSafeAndNamespaced) {
    qn::test::IsolatedEnvironment env;
    std::string strName = qn::platform::SharedObjectName("QNI_MAP:QNLOG/../x y");
    EXPECT_EQ(strName.find('/', 1), std::string::npos);
    EXPECT_NE(strName.find("QNI_MAP:QNLOG_.._x_y"), std::string::npos);
    EXPECT_NE(strName.find(getenv("QUILLON_SHM_NAMESPACE")), std::string::npos);
    EXPECT_EQ(qn::platform::ConfigDirectory(), env.configDir());
}
