// The Linker; see linker.hpp.
#include "query/linker.hpp"

#include <algorithm>

#include "sql/fetch_stream.hpp"
#include "sql/text.hpp"

namespace tablora {

int Linker::add(PyObject* row, int tier, long long id) {
  if (partial_read_) {
    auto [slot, fresh] = (tier ? staged_ : main_).try_emplace(id, -1);
    if (!fresh && slot->second >= 0) return slot->second;
    const int n = place(row, tier, id);
    slot->second = n;
    return n;
  }
  return place(row, tier, id);
}

bool Linker::note_keys(PyObject* row, SharedKeys& keys) const {
  for (size_t r = 0; r < indexes_.size(); ++r) {
    uint64_t hash = 0;
    bool has_null = false;
    if (!indexes_[r].key_hash(row, 0, &hash, &has_null)) return false;
    keys.add(r, hash, !has_null && !rules_[r].columns.empty());
  }
  return true;
}

bool Linker::complete(const std::vector<int>& starts) {
  if (main_complete_ && staged_complete_) return true;
  for (int n : starts) graph_.want(n);
  std::vector<std::vector<int>> asked;
  while (graph_.next_lookups(asked)) {
    if (!main_complete_) {
      std::vector<long long> unknown;
      for (size_t r = 0; r < asked.size(); ++r)
        if (!asked[r].empty() && !look_up(r, asked[r], unknown)) return false;
      if (!fetch_rows(unknown)) return false;  // new rows link themselves
    }
    if (!staged_complete_ && !look_up_staged(asked)) return false;
    graph_.resolved(asked);
  }
  return true;
}

int Linker::place(PyObject* row, int tier, long long id) {
  const int n = graph_.add(tier, id);
  for (size_t r = 0; r < indexes_.size(); ++r) {
    bool fresh = false, has_null = false;
    const int g = indexes_[r].group_of(row, &fresh, &has_null);
    if (g < 0) return -1;
    graph_.place(n, r, g, fresh, !has_null && !rules_[r].columns.empty());
  }
  return n;
}

bool Linker::look_up(size_t r, const std::vector<int>& groups, std::vector<long long>& unknown) {
  const std::vector<Ref>& columns = rules_[r].columns;
  const size_t batch = std::max<size_t>(1, MainRowLookup::kMostParameters / columns.size());
  for (size_t start = 0; start < groups.size(); start += batch) {
    const size_t count = std::min(batch, groups.size() - start);
    std::string sql;
    if (!lookup_.ids_by_values(columns, count, sql)) return false;
    Ref params(PyTuple_New(static_cast<Py_ssize_t>(count * columns.size())));
    if (!params) return false;
    Py_ssize_t k = 0;
    for (size_t i = 0; i < count; ++i) {
      PyObject* row = indexes_[r].first_row(groups[start + i]);
      for (Py_ssize_t member : indexes_[r].members()) {
        Value v(row, member);
        if (v.get() == nullptr) return false;
        PyTuple_SET_ITEM(params.get(), k++, Py_NewRef(v.get()));
      }
    }
    Ref text = str(sql);
    if (!text) return false;
    const bool read = for_each_fetched(call_, text.get(), params.get(), [&](PyObject* row) {
      long long id;
      if (!row_id_of(row, &id)) return false;
      if (main_.try_emplace(id, -1).second) unknown.push_back(id);
      return true;
    });
    if (!read) return false;
  }
  return true;
}

bool read_collation_classes(const Call& call, const TableNames& table, PyObject* cols,
                            std::vector<Collation>& collations, std::vector<Ref>& owned) {
  for (size_t i = 0; i < collations.size(); ++i) {
    Collation& collation = collations[i];
    if (collation.kind != Collation::kOther) continue;
    std::string column, name;
    Ref declared = str(collation.name);
    PyObject* column_name = PyList_GET_ITEM(cols, static_cast<Py_ssize_t>(i));
    if (!declared || !append_identifier(column, column_name) ||
        !append_identifier(name, declared.get()))
      return false;
    Ref sql = str("SELECT " + column + ", dense_rank() OVER (ORDER BY " + column + " COLLATE " +
                  name + ") FROM (SELECT " + column + " FROM " + table.staging() +
                  " UNION ALL SELECT " + column + " FROM " + table.main() + ")");
    Ref classes(sql ? PyDict_New() : nullptr);
    Ref firsts(classes ? PyDict_New() : nullptr);  // class number -> its first value
    if (!firsts) return false;
    const bool read = for_each_fetched(call, sql.get(), nullptr, [&](PyObject* row) {
      const Value value(row, 0), number(row, 1);
      if (value.get() == nullptr || number.get() == nullptr) return false;
      PyObject* first = PyDict_SetDefault(firsts.get(), number.get(), value.get());
      return first && PyDict_SetItem(classes.get(), value.get(), first) == 0;
    });
    if (!read) return false;
    collation.classes = classes.get();
    owned.push_back(std::move(classes));
  }
  return true;
}

bool Linker::fetch_rows(const std::vector<long long>& ids) {
  constexpr size_t kBatch = MainRowLookup::kMostParameters;
  for (size_t start = 0; start < ids.size(); start += kBatch) {
    const size_t count = std::min(kBatch, ids.size() - start);
    Ref params(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!params) return false;
    for (size_t i = 0; i < count; ++i) {
      PyObject* id = PyLong_FromLongLong(ids[start + i]);
      if (id == nullptr) return false;
      PyTuple_SET_ITEM(params.get(), static_cast<Py_ssize_t>(i), id);
    }
    Ref text = str(lookup_.rows_by_id(count));
    if (!text) return false;
    const bool read = for_each_fetched(call_, text.get(), params.get(), [&](PyObject* fetched) {
      long long id;
      Ref row = split_row(fetched, &id);
      if (!row) return false;
      kept_.push_back(Ref::borrow(row.get()));  // the graph compares in place in it
      const int n = place(row.get(), 0, id);
      if (n < 0) return false;
      main_[id] = n;
      return true;
    });
    if (!read) return false;
  }
  return true;
}

bool Linker::look_up_staged(const std::vector<std::vector<int>>& groups) {
  // As many groups per statement as the parameters allow, every rule's in
  // one condition: each statement reads the staging table whole.
  std::vector<size_t> counts(groups.size(), 0);
  std::vector<PyObject*> values;
  auto flush = [&]() {
    if (values.empty()) return true;
    std::string sql;
    Ref params(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    std::vector<MainRowLookup::Asked> asked;
    for (size_t r = 0; r < counts.size(); ++r) asked.emplace_back(&rules_[r].columns, counts[r]);
    if (!params || !lookup_.staged_by_values(asked, sql)) return false;
    for (size_t i = 0; i < values.size(); ++i)
      PyTuple_SET_ITEM(params.get(), static_cast<Py_ssize_t>(i), Py_NewRef(values[i]));
    values.clear();
    counts.assign(groups.size(), 0);
    return place_staged(sql, params.get());
  };
  for (size_t r = 0; r < groups.size(); ++r) {
    const std::vector<Py_ssize_t>& members = indexes_[r].members();
    for (int g : groups[r]) {
      if (values.size() + members.size() > MainRowLookup::kMostParameters && !flush())
        return false;
      PyObject* row = indexes_[r].first_row(g);
      for (Py_ssize_t member : members) {
        Value v(row, member);
        if (v.get() == nullptr) return false;
        values.push_back(v.get());  // borrowed from the row, which the index keeps
      }
      ++counts[r];
    }
  }
  return flush();
}

bool Linker::place_staged(const std::string& sql, PyObject* params) {
  Ref text = str(sql);
  return text && for_each_fetched(call_, text.get(), params, [&](PyObject* fetched) {
           long long id;
           Ref row = split_row(fetched, &id);
           if (!row) return false;
           auto [slot, fresh] = staged_.try_emplace(id, -1);
           if (!fresh && slot->second >= 0) return true;  // in the graph already
           kept_.push_back(Ref::borrow(row.get()));  // the graph compares in place in it
           slot->second = place(row.get(), kStaged, id);
           return slot->second >= 0;
         });
}

}  // namespace tablora
