// A loadable library that exports something, but not create_manager.
extern "C" __attribute__((visibility("default"))) int vorn_test_not_a_plugin() { return 1; }
