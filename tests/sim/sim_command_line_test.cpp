// varnholt-sim's command line: a wrong one ends with status 1, what is wrong
// with an option and the usage line, before anything is bound; --help prints
// the usage and the options.
#include "support/e2e_test.h"

namespace {

const char* const sim_usage_line =
    "Usage: varnholt-sim [--port N] [--bind ADDR] [--accessories LIST] [--scene FILE] "
    "[--gpio FILE] [--trace FILE] [--counter] [--help] 1|2 1|2 1|2 1|2 1|2 1|2\n";

struct command_row {
  const char* name;
  std::vector<std::string> args;
  std::string message;  // the line before the usage line; none for the board's arguments
};
std::ostream& operator<<(std::ostream& os, const command_row& r) {
  return os << r.name;
}
class e2e_command_line : public e2e, public ::testing::WithParamInterface<command_row> {};

TEST_P(e2e_command_line, a_wrong_command_line_ends_with_status_1_and_the_usage_line) {
  std::string out, err;
  const int status = run_to_end(GetParam().args, &out, &err);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  const std::string& message = GetParam().message;
  EXPECT_EQ(err, (message.empty() ? "" : "varnholt-sim: " + message + "\n") + sim_usage_line);
  EXPECT_EQ(out.find("serving"), std::string::npos) << "nothing was bound";
}

INSTANTIATE_TEST_SUITE_P(
    rows, e2e_command_line,
    ::testing::Values(
        command_row{
            "five_arguments", {"--port", "0", "--bind", "127.0.0.1", "1", "1", "1", "1", "1"}, ""},
        command_row{
            "a_three", {"--port", "0", "--bind", "127.0.0.1", "1", "1", "3", "1", "1", "1"}, ""},
        command_row{"unknown_option",
                    {"--colour", "red", "1", "1", "1", "1", "1", "1"},
                    "unknown option --colour"},
        command_row{"unknown_accessory",
                    {"--accessories", "alex,amp", "1", "1", "1", "1", "1", "1"},
                    "unknown accessory 'amp'"},
        command_row{"port_out_of_range",
                    {"--port", "70000", "1", "1", "1", "1", "1", "1"},
                    "--port takes 0..65535"},
        command_row{"not_an_address",
                    {"--bind", "localhost", "1", "1", "1", "1", "1", "1"},
                    "--bind takes an IPv4 address"},
        command_row{"no_value", {"1", "1", "1", "1", "1", "1", "--port"}, "--port needs a value"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(e2e, help_prints_the_usage_line_and_the_options_and_ends_with_status_0) {
  std::string out, err;
  const int status = run_to_end({"--help"}, &out, &err);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(out.rfind(sim_usage_line, 0), 0u);
  for (const char* option :
       {"--port", "--bind", "--accessories", "--scene", "--gpio", "--trace", "--counter"})
    EXPECT_NE(out.find(option), std::string::npos) << option;
}

}  // namespace
