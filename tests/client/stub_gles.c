/* A stand-in for the client's GLES library. */
const unsigned char* glGetString(unsigned int name) {
  (void)name;
  return 0;
}
