// CSV and JSON write the shown rows in the order the list shows them, and their view description
// says the order and the process condition.
#include <string>

#include "doctest.h"
#include "export/export_fixture.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "views/process_filter.h"
#include "views/row_sort.h"

using namespace olv;

TEST_CASE("exports follow the list's order and say it, with the process condition") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    f.AddAll();
    // Severity descending: 3 (Registry), 2 (File), 1 (Network), 0 (Process).
    SortByColumnClick(f.app, kColumnSeverity, -1);
    SortByColumnClick(f.app, kColumnSeverity, -1);
    REQUIRE(ExportCsvToPath(f.app, tmp.Path16("sorted.csv").c_str()));
    const std::string csv = CsvText(ReadAll(tmp.Path("sorted.csv")));
    const size_t registry = csv.find(",\"RegSetValue\",");
    const size_t file = csv.find(",\"WriteFile\",");
    const size_t network = csv.find(",\"Connect\",");
    const size_t process = csv.find(",\"Process Start\",");
    REQUIRE(process != std::string::npos);
    CHECK(registry < file);
    CHECK(file < network);
    CHECK(network < process);
    CHECK(Has(csv, "# All 4 recorded rows are in this file.\r\n# The rows are sorted by Severity, "
                   "descending; rows that compare equal are in recording order.\r\n"));

    // Only process 4013 (the File row's): the condition is the last restriction named.
    REQUIRE(RunProcessCommand(f.app, kMenuOnlyProcess, 1));
    REQUIRE(ExportJsonToPath(f.app, tmp.Path16("one.json").c_str()));
    const std::string json = JsonText(ReadAll(tmp.Path("one.json")));
    CHECK(Has(json, "\"view\":\"This file holds 1 of the 4 rows recorded. The other 3 were hidden "
                    "by the view when it was written:    only process 4013.  The rows are sorted by "
                    "Severity, descending; rows that compare equal are in recording order.  \""));
}
