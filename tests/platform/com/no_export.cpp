// A library that is no server: it has none of the four exports.
extern "C" __attribute__((visibility("default"))) int QzNotAServer() {
  return 1;
}
