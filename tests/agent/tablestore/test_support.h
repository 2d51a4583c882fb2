// Shared set-up of the table store tests: a small dictionary loaded from
// memory, an empty store, and a capture of the log.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "agent/tablestore/data_dict.h"
#include "agent/tablestore/imds.h"
#include "agent/tablestore/table_loader.h"
#include "common/log.h"
#include "tests/support/log_capture.h"

namespace tablestore_test {

// Captures what the log facility writes while alive.

// Columns X, Y, Z (INTEGER), NAME (CHAR), HOST_ID (BIGINT), UID (unsigned int),
// RATIO (FLOAT), FLAG (BOOLEAN) and a primary key ID.
inline const char* kTestDictionary = R"(<?xml version="1.0"?>
<data-dictionary>
  <description>test</description>
  <table name="Items">
    <columns>
      <column name="ID"><data-type>INTEGER</data-type></column>
      <column name="X"><data-type>INTEGER</data-type></column>
      <column name="Y"><data-type>INTEGER</data-type></column>
      <column name="Z"><data-type>INTEGER</data-type></column>
      <column name="NAME"><data-type>CHAR</data-type></column>
      <column name="HOST_ID"><data-type>BIGINT</data-type></column>
      <column name="UID"><data-type>QOR_SQL_UNSIGNED_INT</data-type></column>
      <column name="RATIO"><data-type>FLOAT</data-type></column>
      <column name="FLAG"><data-type>BOOLEAN</data-type></column>
    </columns>
    <primary-key><primary-key-column>ID</primary-key-column></primary-key>
  </table>
  <table name="Defaults">
    <columns>
      <column name="COUNT"><data-type>INTEGER</data-type><default-value>5</default-value></column>
      <column name="LABEL"><data-type>CHAR</data-type><default-value>5</default-value></column>
      <column name="PLAIN"><data-type>CHAR</data-type></column>
    </columns>
  </table>
  <table name="Hosts">
    <columns>
      <column name="HOST_ID"><data-type>BIGINT</data-type></column>
      <column name="HOST_NAME"><data-type>CHAR</data-type></column>
      <column name="DNS_NAME"><data-type>CHAR</data-type></column>
      <column name="HOST_IPADDRESS"><data-type>CHAR</data-type></column>
    </columns>
  </table>
  <table name="HostDetails">
    <columns>
      <column name="HOST_ID"><data-type>BIGINT</data-type></column>
      <column name="TYPE"><data-type>CHAR</data-type></column>
      <column name="MON_INTERVAL"><data-type>INTEGER</data-type></column>
    </columns>
    <primary-key><primary-key-column>HOST_ID</primary-key-column></primary-key>
  </table>
  <table name="Groups">
    <columns>
      <column name="GROUPID"><data-type>BIGINT</data-type></column>
      <column name="NAME"><data-type>CHAR</data-type></column>
    </columns>
  </table>
  <table name="Members">
    <columns>
      <column name="GROUP_REF"><data-type>BIGINT</data-type></column>
      <column name="MEMBER"><data-type>CHAR</data-type></column>
    </columns>
    <foreign-keys>
      <foreign-key reference-table-name="Groups">
        <fk-columns><fk-column><fk-local-column>GROUP_REF</fk-local-column>
          <fk-reference-column>GROUPID</fk-reference-column></fk-column></fk-columns>
      </foreign-key>
    </foreign-keys>
  </table>
</data-dictionary>
)";

// Fixture: the test dictionary loaded, no tables, no listeners.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        FreeAllTableData();
        ReleaseDataDictionary();
        DeInitNotification();
        LoadDataDictFromMemory(kTestDictionary, std::strlen(kTestDictionary), "test-dictionary.xml");
    }
    void TearDown() override {
        FreeAllTableData();
        ReleaseDataDictionary();
        DeInitNotification();
    }
    static void load(const std::string& xml) { loadTableDataFromMemory(xml.data(), xml.size()); }
    // The rows a criteria selects from Items, as their ID values; -1 for none.
    static std::vector<int> ids(const char* criteria, const char* table = "Items") {
        ResultHandle r = SelectRows(table, criteria);
        if (!r) return {-1};
        std::vector<int> out;
        while (GotoNextRowObject(r)) {
            int len = 0;
            std::int32_t id = 0;
            const void* v = GetColumnValueByName("ID", &len, r);
            ReadColumnInt32(v, len, &id);
            out.push_back(id);
        }
        return out;
    }
    static std::string text(const ResultHandle& r, const char* column) {
        int len = 0;
        const void* v = GetColumnValueByName(column, &len, r);
        return v ? std::string(static_cast<const char*>(v), static_cast<std::size_t>(len)) : "<none>";
    }
    static std::int64_t int64(const ResultHandle& r, const char* column) {
        int len = 0;
        std::int64_t out = -999;
        const void* v = GetColumnValueByName(column, &len, r);
        ReadColumnInt64(v, len, &out);
        return out;
    }
};

using Ints = std::vector<int>;

}  // namespace tablestore_test
