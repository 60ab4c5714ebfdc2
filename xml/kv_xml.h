#pragma once
// The XML library's interfaces. Callers outside xml/ hold only these pointers.
//
// Names: the interfaces and their implementations differ by one underscore.
//   KV_xml_doc, KV_xml_node, KV_xml_attrib   "KV_xml_": the interfaces (abstract, this header),
//                                            what callers use, with make_xml_doc() below, the
//                                            owners in xml/xml_owners.h and the escape table in
//                                            xml/escapes.h.
//   KVXML_doc, KVXML_node, KVXML_attrib      "KVXML_": their implementations (final classes in
//                                            xml/kvxml_doc.h and xml/kvxml_node.h), for xml/
//                                            itself and the tests, fuzz target and benchmark.
//   KVXML_string                             the library's own text buffer (xml/kvxml_string.h),
//                                            which get_text_encoded fills.
//   namespace kvxml                          the parser, writer and memory pages inside xml/.
//
// Results: int operations answer 1 for success and 0 for failure; absence is a null pointer.
// The only exception raised is std::bad_alloc.
// Texts are zero-terminated UTF-16 (wchar_t is 16 bits in every configuration).
//
// Threads. The library takes no locks.
// - A document, with its nodes and attributes, is used by one thread at a time, reading
//   included: lookups and walks by index update caches inside the nodes (the attribute index,
//   the remembered walk position, an attribute's name hash). A document passed to another
//   thread needs what any plain object needs there (a lock, or a join).
// - Different documents may be used on different threads at the same time. The process-wide
//   state is atomic: the counter of child-list changes that makes remembered child positions
//   stale (a change anywhere only costs other walks a restart from the first child) and the
//   count of copied characters (a measuring aid); memory comes from thread-safe heaps.
// - But the nodes of one parse share memory pages, each with a plain count of the blocks in use
//   on it, and a node moved to another document keeps its page: two documents that hold nodes
//   of the same parse count as one document for the first rule while those nodes live.
// - Saved texts (free_text) and inner texts (free()) may be freed on any thread.
// - The allocation failure seam (kv::alloc_probe) is process-wide and for single-threaded tests.
#include "types/wide.h"

class KVXML_string;
class KV_xml_node;

class KV_xml_attrib {
 public:
  virtual const wchar_t* get_name() = 0;   // 0
  virtual const wchar_t* get_value() = 0;  // 1

 protected:
  ~KV_xml_attrib() = default;  // owned and freed by its node only
};

class KV_xml_node {
 public:
  virtual const wchar_t* get_name() = 0;                                                  // 0
  virtual KV_xml_attrib* get_attribute(int index, const wchar_t* name) = 0;               // 1
  virtual int set_attribute(const wchar_t* name, const wchar_t* value) = 0;               // 2
  virtual int set_attribute_decode(const wchar_t* name, const wchar_t* value) = 0;        // 3
  virtual void remove_attribute(const wchar_t* name) = 0;                                 // 4
  // Never null: the empty text when the attribute is absent.
  virtual const wchar_t* get_attribute_value(const wchar_t* name) = 0;                    // 5
  virtual const wchar_t* get_text() = 0;                                                  // 6
  virtual void set_text(const wchar_t* text) = 0;                                         // 7
  virtual void set_text_decode(const wchar_t* text) = 0;                                  // 8
  // New heap text, freed by the caller with free().
  virtual wchar_t* get_inner_text() = 0;                                                  // 9
  virtual int has_children() = 0;                                                         // 10
  virtual KV_xml_node* get_child(int index, const wchar_t* name) = 0;                     // 11
  virtual KV_xml_node* find_descendant(const wchar_t* name) = 0;                          // 12
  virtual KV_xml_node* add_child(const wchar_t* name) = 0;                                // 13
  // Links the node after the last child. A node that has another parent is not taken out of
  // that parent's list, which now ends at it: the interface has always behaved so and its
  // callers are written against that, so unlinking stays detach_child's job and a caller that
  // means to move a node detaches it from the old parent first. A node left in two lists is
  // freed twice when both trees are released, and the siblings that followed it in the old
  // list are in no list any more (the caller releases them).
  // Our own child moves to the end; the node itself or one of our ancestors is refused.
  virtual void append_child(KV_xml_node* node) = 0;                                       // 14
  virtual void detach_child(KV_xml_node* node) = 0;                                       // 15
  virtual KV_xml_node* find_child_by_attribute(const wchar_t* name, const wchar_t* value) = 0;  // 16
  virtual KV_xml_node* select_path(const wchar_t* path) = 0;                              // 17
  virtual KV_xml_node* search_path(const wchar_t* path) = 0;                              // 18
  virtual KV_xml_node* get_parent() = 0;                                                  // 19
  // The two copies use the receiving node only to dispatch.
  virtual KV_xml_node* copy_node(KV_xml_node* source, KV_xml_node* destination_parent) = 0;  // 20
  virtual int copy_children(KV_xml_node* source, KV_xml_node* destination, const wchar_t* name) = 0;  // 21
  // Frees the node, its attributes and its subtree; it does not unlink the node from a parent.
  virtual void release() = 0;                                                             // 22
  virtual bool same_attributes(KV_xml_node* other) = 0;                                   // 23
  virtual bool attributes_differ(KV_xml_node* other) = 0;                                 // 24
  virtual bool same_tree(KV_xml_node* other) = 0;                                         // 25
  virtual void get_text_encoded(KVXML_string& out) = 0;                                   // 26

 protected:
  ~KV_xml_node() = default;  // destroyed through release() only
};

class KV_xml_doc {
 public:
  // Frees a text returned by save_to_string; null is ignored.
  virtual void free_text(wchar_t* text) = 0;                                  // 0
  virtual void release() = 0;                                                 // 1
  virtual void clear() = 0;                                                   // 2
  virtual int create() = 0;                                                   // 3
  virtual int load_from_string(const wchar_t* text) = 0;                      // 4
  virtual int load_from_file(const wchar_t* path) = 0;                        // 5
  // `file` is a Windows HANDLE. File operations exist in the Windows build only; elsewhere they answer 0.
  virtual int load_from_handle(void* file) = 0;                               // 6
  // New heap text (U+FEFF and the document), freed with free_text.
  virtual wchar_t* save_to_string() = 0;                                      // 7
  virtual int save_to_file(const wchar_t* path) = 0;                          // 8
  virtual int save_to_handle(void* file) = 0;                                 // 9
  virtual KV_xml_node* get_root() = 0;                                        // 10
  // Rebuilds `destination` from the top-level elements of `source`; the receiver is not used.
  virtual int copy_document(KV_xml_doc* source, KV_xml_doc* destination) = 0;  // 11
  virtual ~KV_xml_doc() = default;                                            // 12
};

// A new document without root; dispose of it with release().
KV_xml_doc* make_xml_doc();
