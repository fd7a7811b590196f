#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kv::tools {

// What a store knows of one object without reading it.
struct StoredObject {
  std::string etag;    // as the store sends it, quotes included
  std::string sha256;  // the content's SHA-256 the publisher stored with it ("" when none)
  std::int64_t size = -1;
};

// How a store operation ended.
enum class StoreOutcome {
  Done,
  Missing,          // no such object
  ConditionFailed,  // a conditional write found another object than expected
  Failed,           // anything else; the error text says what
};

// A write that only succeeds when the object is still as the writer saw it.
struct WriteCondition {
  enum class Kind { None, IfAbsent, IfMatch } kind = Kind::None;
  std::string etag;  // for IfMatch
};

// How an object is written.
struct PutOptions {
  std::string sha256;  // stored with the object, answered by head
  std::string contentType;
  std::string cacheControl;  // "" sends none
  WriteCondition condition;
};

// An object store the publishing tool writes a site into: keys are paths
// below the site root ("download/eu/manifest.json"). Every operation may be
// called from several threads at once. Failed answers carry a text that
// tells an operator what went wrong (refused keys, a network fault).
class ObjectStore {
 public:
  virtual ~ObjectStore() = default;

  // Where the site goes, for messages ("s3://bucket/prefix").
  virtual std::string describe() const = 0;
  // The stored facts of key, without its content.
  virtual StoreOutcome head(const std::string& key, StoredObject& object, std::string& error) = 0;
  // A small object's content (a manifest) and its facts.
  virtual StoreOutcome getSmall(const std::string& key, std::string& body, StoredObject& object,
                                std::string& error) = 0;
  // Writes text as key.
  virtual StoreOutcome putText(const std::string& key, const std::string& text, const PutOptions& options,
                               std::string& error) = 0;
  // Writes the size bytes of file as key; onSent is told the bytes as
  // they are sent (possibly again after a retry). The store confirms the
  // object only once it holds all of them.
  virtual StoreOutcome putFile(const std::string& key, const std::string& file, std::int64_t size,
                               const PutOptions& options, const std::function<void(std::int64_t)>& onSent,
                               std::string& error) = 0;
  virtual StoreOutcome remove(const std::string& key, std::string& error) = 0;
  // Every object whose key starts with prefix, with its ETag and size (a
  // listing does not tell the stored SHA-256).
  virtual StoreOutcome list(const std::string& prefix, std::map<std::string, StoredObject>& objects,
                            std::string& error) = 0;
  // The ETag this store gives an object of the size bytes of file written by
  // putFile (the same bytes always get the same one), so a listing tells
  // which files it already holds without reading them back. False with the
  // reason when the file cannot be read.
  virtual bool etagOf(const std::string& file, std::int64_t size, std::string& etag, std::string& error) = 0;
};

}  // namespace kv::tools
