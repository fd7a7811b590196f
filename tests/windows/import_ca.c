/* Adds a PEM certificate to the machine's trusted roots (LocalMachine\Root),
 * so that the system's HTTP clients accept a test site signed by it.
 * Usage: import_ca.exe CA.pem — exits 0 when the certificate is in the store. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>
#include <wincrypt.h>

int main(int argc, char **argv) {
  FILE *in;
  char *pem;
  long size;
  DWORD derSize = 0;
  BYTE *der;
  HCERTSTORE store;
  BOOL added;
  if (argc != 2) {
    fprintf(stderr, "usage: import_ca CA.pem\n");
    return 2;
  }
  in = fopen(argv[1], "rb");
  if (in == NULL) {
    fprintf(stderr, "import_ca: cannot open %s\n", argv[1]);
    return 1;
  }
  fseek(in, 0, SEEK_END);
  size = ftell(in);
  rewind(in);
  if (size <= 0 || size > 1 << 20) {
    fclose(in);
    fprintf(stderr, "import_ca: %s is empty or too large\n", argv[1]);
    return 1;
  }
  pem = malloc((size_t)size);
  if (pem == NULL || fread(pem, 1, (size_t)size, in) != (size_t)size) {
    fclose(in);
    fprintf(stderr, "import_ca: cannot read %s\n", argv[1]);
    return 1;
  }
  fclose(in);
  if (!CryptStringToBinaryA(pem, (DWORD)size, CRYPT_STRING_BASE64HEADER, NULL, &derSize, NULL, NULL)) {
    fprintf(stderr, "import_ca: %s holds no PEM certificate\n", argv[1]);
    return 1;
  }
  der = malloc(derSize);
  if (der == NULL || !CryptStringToBinaryA(pem, (DWORD)size, CRYPT_STRING_BASE64HEADER, der, &derSize, NULL, NULL)) {
    fprintf(stderr, "import_ca: cannot decode %s\n", argv[1]);
    return 1;
  }
  store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (store == NULL) {
    fprintf(stderr, "import_ca: cannot open LocalMachine\\Root (%lu)\n", GetLastError());
    return 1;
  }
  added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, derSize, CERT_STORE_ADD_REPLACE_EXISTING,
                                           NULL);
  if (!added) fprintf(stderr, "import_ca: the store refused the certificate (%lu)\n", GetLastError());
  CertCloseStore(store, 0);
  free(der);
  free(pem);
  return added ? 0 : 1;
}
