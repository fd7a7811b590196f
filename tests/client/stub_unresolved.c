/* Offers the entry point but needs a symbol that nothing provides, so it
   cannot be loaded with every symbol resolved. */
extern int vdSymbolThatNothingProvides(void);
void* eglGetDisplay(void* nativeDisplay) {
  return vdSymbolThatNothingProvides() != 0 ? nativeDisplay : 0;
}
