// varbloc: blocking error analysis of correlated samples. The program is the
// core library plus this entry, which wires the command line to it.
#include "command_line.h"
#include "input_source.h"
#include "reader.h"

int main(int argc, char** argv) {
  const char* json_path = nullptr;
  long_option_request request = take_long_options(&argc, argv, &json_path);
  if (request == SHOW_HELP) print_help();
  if (request == SHOW_VERSION) print_version();
  if (request != RUN_AS_USUAL) return 0;
  print_banner();
  run_settings settings;
  if (!parse_command_line(argc, argv, &settings)) {
    usage_info();
    return 1;
  }
  settings.json_path = json_path;
  input_source input;
  open_input(settings.input_name, &input);
  reader_state* reader = reader_create(&settings, &input);
  int status = read_and_analyse(reader);
  reader_destroy(reader);
  return status;
}
