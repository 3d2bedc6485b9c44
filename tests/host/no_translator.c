/* A library that loads like a module but exports no translator entry points. */
#if defined(_WIN32)
__declspec(dllexport)
#endif
    int NotATranslator(void) {
  return 0;
}
