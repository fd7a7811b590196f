/* A stand-in for the client's EGL library. */
void* eglGetDisplay(void* nativeDisplay) { return nativeDisplay; }
