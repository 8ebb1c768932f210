// varbloc: blocking error analysis of correlated samples. The program is the
// core library plus this entry, which wires the command line to it.
#include "command_line.h"
#include "input_source.h"
#include "reader.h"

int main(int argc, char** argv) {
  print_banner();
  run_settings settings;
  if (!parse_command_line(argc, argv, &settings)) {
    usage_info();
    return 1;
  }
  input_source input;
  open_input(settings.input_name, &input);
  reader_state* reader = reader_create(&settings, &input);
  int status = read_and_analyse(reader);
  reader_destroy(reader);
  return status;
}
