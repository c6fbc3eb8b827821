#include "agent/mib.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SprintOid, WritesDottedNumbersAndReturnsLength)
{
    oid name[] = {1, 3, 6, 1, 4, 1, 47391, 1, 3};
    char buf[64] = "garbage";
    EXPECT_EQ(sprint_oid(buf, name, 9), 21);
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

namespace {

// A registered entry as net-snmp hands it to a handler: full OID in name.
struct variable column_entry(std::initializer_list<oid> suffix)
{
    struct variable vp = {};
    vp.magic = 7;
    vp.type = ASN_OCTET_STR;
    vp.acl = NETSNMP_OLDAPI_RONLY;
    size_t n = 0;
    for (oid part : MIB_ROOT)
        vp.name[n++] = part;
    for (oid part : suffix)
        vp.name[n++] = part;
    vp.namelen = static_cast<u_char>(n);
    return vp;
}

TEST(MibTableRow, GetAnswersOnlyRowsInRangeAndEmptyTablesNothing)
{
    struct variable vp = column_entry({3, 10, 2, 1, 3});
    oid name[MAX_OID_LEN] = {1, 3, 6, 1, 4, 1, 47391, 1, 3, 10, 2, 1, 3, 2};
    size_t length = 14, var_len = 0;
    WriteMethod *write = nullptr;
    EXPECT_EQ(mib_table_row(&vp, name, &length, 1, &var_len, &write, 2), 2);
    EXPECT_EQ(var_len, sizeof(long));
    EXPECT_EQ(mib_table_row(&vp, name, &length, 1, &var_len, &write, 1), 0);
    EXPECT_EQ(mib_table_row(&vp, name, &length, 1, &var_len, &write, 0), 0);
}

TEST(MibTableRow, GetNextCompletesTheFirstRowAndStopsAfterTheLast)
{
    struct variable vp = column_entry({3, 10, 2, 1, 3});
    oid name[MAX_OID_LEN] = {1, 3, 6, 1, 4, 1, 47391, 1, 3, 10, 2, 1, 3};
    size_t length = 13, var_len = 0;
    WriteMethod *write = nullptr;
    EXPECT_EQ(mib_table_row(&vp, name, &length, 0, &var_len, &write, 3), 1);
    EXPECT_EQ(length, 14u);
    EXPECT_EQ(mib_table_row(&vp, name, &length, 0, &var_len, &write, 3), 2);
    name[13] = 3;
    EXPECT_EQ(mib_table_row(&vp, name, &length, 0, &var_len, &write, 3), 0);
}

TEST(MibScalar, InstanceZeroOnlyForGetAndCompletedForGetNext)
{
    struct variable vp = column_entry({3, 10, 1});
    oid name[MAX_OID_LEN] = {1, 3, 6, 1, 4, 1, 47391, 1, 3, 10, 1, 0};
    size_t length = 12, var_len = 0;
    WriteMethod *write = nullptr;
    EXPECT_TRUE(mib_scalar(&vp, name, &length, 1, &var_len, &write));
    name[11] = 1;
    EXPECT_FALSE(mib_scalar(&vp, name, &length, 1, &var_len, &write));
    length = 11;
    EXPECT_TRUE(mib_scalar(&vp, name, &length, 0, &var_len, &write));
    EXPECT_EQ(length, 12u);
    EXPECT_EQ(name[11], 0u);
}

} // namespace
