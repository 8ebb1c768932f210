// Tests of the support library: failure frames, allocation, column matrices.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <new>  // bad_alloc
#include <string>

#include "support/alloc.h"
#include "support/alloc2d.h"
#include "support/error.h"
#include "support/report.h"  // run_interrupted
#include "test_util.h"

namespace {

// Every code of the list: the number the program prints and the exit
// status (the code's low eight bits), which scripts and stored records know.
TEST(FatalTest, EveryCodeItsNumberAndExitStatus) {
  struct code_case {
    error_code code;
    int number;
    int status;
  };
  const code_case cases[] = {
      {ERROR_CANNOT_OPEN_INPUT, 1, 255},
      {ERROR_COLUMN_COUNT_NOT_POSITIVE, 2, 254},
      {ERROR_TOO_MANY_COLUMNS, 3, 253},
      {ERROR_LINE_TOO_LONG, 40, 216},
      {ERROR_NO_COLUMN_COUNT, 50, 206},
      {ERROR_READ_FAILED, 60, 196},
      {ERROR_NOT_A_NUMBER, 70, 186},
      {ERROR_OUT_OF_MEMORY, 99, 157},
      {ERROR_TOO_FEW_FIELDS, 100, 156},
      {WARNING_INCONSISTENT_COLUMNS, 110, 146},
      {ERROR_ANALYSIS_FILE_NOT_WRITTEN, 120, 136},
      {ERROR_TOO_MANY_LINES, 200, 56},
      {ERROR_STORAGE_NOT_ALLOCATED, 300, 212},
  };
  for (const code_case& c : cases) {
    EXPECT_EQ(error_number(c.code), c.number);
    EXPECT_EQ(fatal_exit_status(c.code), c.status) << "error " << c.number;
  }
  EXPECT_EQ(fatal_frame(ERROR_NOT_A_NUMBER,
                        "Non-numerical data in line 3 column 1 (columns count from 0)"),
            "\nFatal error 70: Non-numerical data in line 3 column 1 (columns count from 0).\n"
            "Program halted.\n\n");
  EXPECT_EQ(fatal_frame(ERROR_STORAGE_NOT_ALLOCATED, "x"),
            "\nFatal error 300: x.\nProgram halted.\n\n");
}

TEST(FatalTest, ThrowsCodeAndWholeMessage) {
  EXPECT_TRUE(throws_fatal([] { fatal(ERROR_NOT_A_NUMBER, "Non-numerical data"); }, -70,
                           "Non-numerical data"));
  static const std::string long_name(5000, 'x');
  EXPECT_TRUE(throws_fatal(
      [] { fatal_format(ERROR_CANNOT_OPEN_INPUT, "Cannot open input file %s", long_name.c_str()); },
      -1, "Cannot open input file " + long_name));
}

// What a front end makes of whatever a run threw.
TEST(FatalTest, CurrentFailureOfEachException) {
  const auto failure_of = [](const std::function<void()>& thrower) {
    try {
      thrower();
    } catch (...) {
      return current_failure();
    }
    return run_failure{};
  };
  run_failure failure = failure_of([] { fatal(ERROR_TOO_MANY_LINES, "Cannot handle"); });
  EXPECT_EQ(failure.code, ERROR_TOO_MANY_LINES);
  EXPECT_EQ(failure.message, "Cannot handle");
  failure = failure_of([] { throw std::bad_alloc(); });
  EXPECT_EQ(failure.code, ERROR_OUT_OF_MEMORY);
  EXPECT_EQ(failure.message, "Alloc: Virtual memory exhausted");
  EXPECT_THROW(failure_of([] { throw run_interrupted(); }), run_interrupted);
}

TEST(WarningTest, Frame) {
  EXPECT_EQ(warning_frame(WARNING_INCONSISTENT_COLUMNS,
                          compose_message("Inconsistent number of columns in line %d "
                                          "(non-fatal)",
                                          7)
                              .c_str()),
            "\nWarning 110: Inconsistent number of columns in line 7 (non-fatal).\n");
}

TEST(AllocTest, ZeroBytesIsNotExhaustion) {
  void* memory = xmalloc(0);
  EXPECT_NE(memory, nullptr);
  memory = xrealloc(memory, 0);
  EXPECT_NE(memory, nullptr);
  free(memory);
}

TEST(AllocTest, ExhaustionIsFatal99) {
  EXPECT_TRUE(throws_fatal([] { xmalloc(SIZE_MAX / 2); }, -99, "Alloc: Virtual memory exhausted"));
  EXPECT_TRUE(throws_fatal([] { xrealloc(nullptr, SIZE_MAX / 2); }, -99,
                           "ReAlloc: Virtual memory exhausted"));
}

TEST(ColumnMatrixTest, RowsLieOneAfterAnotherInOneBlock) {
  column_matrix matrix = allocate_double_matrix(3, 4);
  ASSERT_NE(matrix, nullptr);
  for (int r = 0; r < 3; r++) EXPECT_EQ(matrix[r], matrix[0] + 4 * r);
  for (int k = 0; k < 12; k++) matrix[0][k] = k;  // the whole block is writable
  EXPECT_EQ(matrix[2][3], 11.0);
  free_double_matrix(matrix);

  int_column_matrix integers = allocate_int_matrix(2, 5);
  ASSERT_NE(integers, nullptr);
  EXPECT_EQ(integers[1], integers[0] + 5);
  free_int_matrix(integers);
}

TEST(ColumnMatrixTest, EmptyOrImpossibleShapesGiveNull) {
  const int32_t shapes[][2] = {{0, 4}, {3, 0}, {0, 0}, {-1, 4}, {3, -4}, {INT32_MAX, INT32_MAX}};
  for (const auto& shape : shapes) {
    EXPECT_EQ(allocate_double_matrix(shape[0], shape[1]), nullptr) << shape[0] << " x " << shape[1];
    EXPECT_EQ(allocate_int_matrix(shape[0], shape[1]), nullptr) << shape[0] << " x " << shape[1];
  }
  free_double_matrix(nullptr);
  free_int_matrix(nullptr);
}

}  // namespace
