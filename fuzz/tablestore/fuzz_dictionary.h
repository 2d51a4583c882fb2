// The dictionary both fuzzers load: every column type, keys and a foreign
// key, so that conversions, inheritance and references are all reached.
#pragma once

#include <cstring>

#include "agent/tablestore/data_dict.h"

inline void LoadFuzzDictionary() {
    static const char* kDictionary = R"(<data-dictionary>
  <table name="T">
    <columns>
      <column name="A"><data-type>QOR_SQL_TINYINT</data-type></column>
      <column name="B"><data-type>QOR_SQL_UNSIGNED_SMALLINT</data-type><default-value>3</default-value></column>
      <column name="C"><data-type>INTEGER</data-type><default-value>5</default-value></column>
      <column name="D"><data-type>QOR_SQL_UNSIGNED_INT</data-type></column>
      <column name="E"><data-type>BIGINT</data-type></column>
      <column name="F"><data-type>FLOAT</data-type></column>
      <column name="G"><data-type>QOR_SQL_DOUBLE</data-type></column>
      <column name="H"><data-type>CHAR</data-type><default-value>x</default-value></column>
      <column name="I"><data-type>QOR_SQL_CHAR</data-type></column>
      <column name="J"><data-type>DATE</data-type></column>
      <column name="K"><data-type>TIME</data-type></column>
      <column name="L"><data-type>DATETIME</data-type></column>
      <column name="M"><data-type>BOOLEAN</data-type></column>
      <column name="N"><data-type>BLOB</data-type></column>
      <column name="P"><data-type>QOR_SQL_UNSIGNED_LONG_INT</data-type></column>
    </columns>
    <primary-key><primary-key-column>A</primary-key-column></primary-key>
  </table>
  <table name="U">
    <columns>
      <column name="REF"><data-type>BIGINT</data-type></column>
      <column name="TXT"><data-type>CHAR</data-type></column>
    </columns>
    <foreign-keys><foreign-key reference-table-name="T"><fk-columns><fk-column>
      <fk-local-column>REF</fk-local-column><fk-reference-column>E</fk-reference-column>
    </fk-column></fk-columns></foreign-key></foreign-keys>
  </table>
  <table name="Workflow_Statements">
    <columns><column name="NEXT_STATEMENT_ID"><data-type>INTEGER</data-type></column></columns>
  </table>
</data-dictionary>)";
    LoadDataDictFromMemory(kDictionary, std::strlen(kDictionary), "fuzz-dictionary.xml");
}
