// A shared library without the handshake symbol: the core must refuse it after loading.
extern "C" __attribute__((visibility("default"))) int vrel_test_unrelated_symbol() { return 7; }
