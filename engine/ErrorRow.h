// The rows of a run's error list (file name and text). A run takes at most kMaxRows rows of its
// own: once full it ends, and its list closes with a row that says so.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class CErrorRow {
 public:
  static constexpr size_t kMaxRows = 1000;

  void Add(const std::string& name, const std::string& text) {
    m_names.push_back(name);
    m_texts.push_back(text);
  }
  bool Full() const { return m_names.size() >= kMaxRows; }
  bool Empty() const { return m_names.empty(); }
  void Clear() {
    m_names.clear();
    m_texts.clear();
  }
  // The row that ends a list cut off at the cap.
  void AddClosingRow() { Add("<Exceeded Maximum number of Errors>", "<Cancelling operation>"); }

  std::vector<std::string>& Names() { return m_names; }
  std::vector<std::string>& Texts() { return m_texts; }
  const std::vector<std::string>& Names() const { return m_names; }
  const std::vector<std::string>& Texts() const { return m_texts; }

 private:
  std::vector<std::string> m_names;
  std::vector<std::string> m_texts;
};
