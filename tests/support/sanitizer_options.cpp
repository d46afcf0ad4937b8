// Linked into the sanitizer build of the plugin only. The black-box tests run
// the plugin with an exact environment, so ASAN_OPTIONS from the shell never
// reaches it; these built-in defaults make every report impossible to miss:
//   AddressSanitizer and LeakSanitizer: the report goes to a file under
//     build/asan/logs/ (which `make test-sanitize` requires to stay empty) and
//     the process ends with status 86;
//   UndefinedBehaviorSanitizer (which in a combined build writes to standard
//     error whatever log_path says): the process ends with status 87.
// The suites demand status 0 and an empty standard error from every run.
#ifndef SANITIZER_LOG_DIR
#error "SANITIZER_LOG_DIR must name the folder for sanitizer reports"
#endif

// The sanitizer runtimes look these names up; they are theirs, not ours.
// NOLINTBEGIN(bugprone-reserved-identifier)
extern "C" const char *__asan_default_options() {
    return "exitcode=86:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:"
           "check_initialization_order=1:log_path=" SANITIZER_LOG_DIR "/asan";
}

extern "C" const char *__ubsan_default_options() { return "halt_on_error=1:print_stacktrace=1:exitcode=87"; }
// NOLINTEND(bugprone-reserved-identifier)
