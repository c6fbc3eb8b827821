#include "agent/mib.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SprintOid, WritesDottedNumbersAndReturnsLength)
{
    oid name[] = {1, 3, 6, 1, 4, 1, 47391, 1, 3};
    char buf[64] = "garbage";
    EXPECT_EQ(sprint_oid(buf, name, 9), 24);
    EXPECT_STREQ(buf, "1.3.6.1.4.1.47391.1.3");
}

TEST(SprintOid, BadArgumentsWriteNothingAndEmptyOidIsEmptyText)
{
    oid name[] = {1, 3};
    char buf[16] = "untouched";
    EXPECT_EQ(sprint_oid(nullptr, name, 2), 0);
    EXPECT_EQ(sprint_oid(buf, name, -1), 0);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(sprint_oid(buf, name, 0), 0);
    EXPECT_STREQ(buf, "");
}

TEST(SprintOid, StopsAfter128Numbers)
{
    std::vector<oid> name(130, 7);
    std::string buf(1024, '\0');
    int len = sprint_oid(buf.data(), name.data(), 130);
    EXPECT_EQ(len, 128 * 2 - 1);
    EXPECT_EQ(std::string(buf.c_str()).size(), static_cast<size_t>(len));
}

TEST(PrintOid, WritesPrefixedNumbersToStderr)
{
    oid name[] = {1, 3, 47391};
    testing::internal::CaptureStderr();
    print_oid(name, 3);
    print_oid(nullptr, 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "OID:  1 3 47391\n");
}

u_char *dummy_handler(struct variable *, oid *, size_t *, int, size_t *, WriteMethod **)
{
    return nullptr;
}

TEST(MibTableOrder, AcceptsAscendingSuffixesAndRejectsOthers)
{
    struct variable4 ordered[] = {
        {1, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, dummy_handler, 2, {10, 1}},
        {5, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, dummy_handler, 4, {10, 2, 1, 1}},
        {6, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, dummy_handler, 4, {10, 2, 1, 2}},
        {2, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, dummy_handler, 2, {20, 1}},
    };
    EXPECT_TRUE(mib_table_in_order(ordered, 4));

    struct variable4 swapped[] = {
        {5, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, dummy_handler, 4, {10, 2, 1, 2}},
        {6, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, dummy_handler, 4, {10, 2, 1, 1}},
    };
    EXPECT_FALSE(mib_table_in_order(swapped, 2));

    struct variable4 duplicate[] = {
        {1, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, dummy_handler, 2, {10, 1}},
        {2, ASN_INTEGER, NETSNMP_OLDAPI_RONLY, dummy_handler, 2, {10, 1}},
    };
    EXPECT_FALSE(mib_table_in_order(duplicate, 2));
}

TEST(MibHelpers, RowIndexIsLastNumberAndValuesComeBackWithTheirLength)
{
    oid name[] = {1, 3, 6, 1, 4, 1, 47391, 1, 3, 10, 2, 1, 3, 17};
    EXPECT_EQ(mib_row_index(name, 14), 17);
    EXPECT_EQ(mib_row_index(name, 0), 0);

    static long slot;
    u_char *value = mib_integer(slot, 42);
    EXPECT_EQ(*reinterpret_cast<long *>(value), 42);

    size_t len = 0;
    const char *text = "Success";
    EXPECT_EQ(mib_text(text, &len), reinterpret_cast<const u_char *>(text));
    EXPECT_EQ(len, 7u);
}

} // namespace
