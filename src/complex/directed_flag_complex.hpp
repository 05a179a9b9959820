// The directed flag complex of a graph between two dimensions: one list per dimension (a
// simplex is a run of dimension + 1 vertices), each in lexicographic order of the vertex
// sequences.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/graph.hpp"
#include "base/flat_buffer.hpp"

namespace tolva {

// Vertex numbers are stored in 16 bits when the graph has at most 65536 vertices and in 32
// bits otherwise (a graph numbers at most 2^32 vertices). Code that reads vertices is
// written once for both widths.
using NarrowVertex = std::uint16_t;
using WideVertex = std::uint32_t;

inline unsigned vertex_width_for(std::uint64_t vertex_count) noexcept {
  return vertex_count <= std::uint64_t{1} << 16 ? sizeof(NarrowVertex) : sizeof(WideVertex);
}

// Calls body(V{}) with V the vertex type of the given width.
template <class Body>
decltype(auto) with_vertex_type(unsigned width, Body&& body) {
  if (width == sizeof(NarrowVertex)) return body(NarrowVertex{});
  return body(WideVertex{});
}

// The simplices of one dimension, stored in the pieces they were written into (nothing is
// copied to join them). Reads go by place: a directory with one entry per 2^shift places
// names the piece holding the first of them, and at most a few piece ends are stepped over
// from there.
class SimplexList {
 public:
  SimplexList(std::uint64_t vertices_per_simplex, unsigned vertex_width)
      : stride_(vertices_per_simplex), width_(vertex_width), simplex_bytes_(vertices_per_simplex * vertex_width) {}

  std::uint64_t vertices_per_simplex() const noexcept { return stride_; }
  unsigned vertex_width() const noexcept { return width_; }
  std::uint64_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::uint64_t bytes() const noexcept { return size_ * simplex_bytes_; }

  // The simplex at `place` (below size()); V must be the list's vertex type.
  template <class V>
  const V* at(std::uint64_t place) const noexcept {
    return reinterpret_cast<const V*>(piece_of(place).origin + place * simplex_bytes_);
  }
  // One past the last place of the piece holding `place`: the simplices from at(place) up to
  // there lie one after another.
  std::uint64_t run_end(std::uint64_t place) const noexcept { return piece_of(place).end; }
  // Vertex k of the simplex at `place`, whatever the width.
  std::uint64_t vertex(std::uint64_t place, std::uint64_t k) const noexcept {
    return width_ == sizeof(NarrowVertex) ? at<NarrowVertex>(place)[k] : at<WideVertex>(place)[k];
  }

  // Appends one simplex to the last piece (for lists built a few simplices at a time).
  template <class V>
  void push_back(const V* simplex) {
    if (storage_.empty()) storage_.emplace_back();
    storage_.back().append(reinterpret_cast<const std::byte*>(simplex), simplex_bytes_);
    reindex();
  }
  // Takes over other's pieces after this list's own.
  void append(SimplexList&& other);
  // Takes over a piece of whole simplices after the list's own.
  void adopt_piece(FlatBuffer<std::byte>&& piece);
  // Makes the pieces adopted since readable by place; adopt_piece calls need it once after.
  void reindex();

 private:
  struct Piece {
    std::uint64_t end;       // one past the piece's last place
    std::uintptr_t origin;   // address of place 0 were the piece to start there
  };
  const Piece& piece_of(std::uint64_t place) const noexcept {
    std::uint32_t piece = directory_[place >> shift_];
    while (place >= pieces_[piece].end) ++piece;
    return pieces_[piece];
  }

  std::uint64_t stride_;
  unsigned width_;
  std::uint64_t simplex_bytes_;
  std::uint64_t size_ = 0;
  unsigned shift_ = 63;
  std::vector<std::uint32_t> directory_{0};
  std::vector<Piece> pieces_;
  std::vector<FlatBuffer<std::byte>> storage_;  // the pieces themselves, in place order
};

struct DirectedFlagComplex {
  DirectedFlagComplex(std::uint64_t lowest_dimension, unsigned width)
      : q(lowest_dimension), vertex_width(width) {}

  std::uint64_t q;                 // dimension of the simplices of lists[0]
  unsigned vertex_width;           // bytes per stored vertex
  std::vector<SimplexList> lists;  // lists[k]: the simplices of dimension q + k

  std::uint64_t simplex_count() const noexcept;
  // The list for dimension q + k, created (with every list below it) when missing.
  SimplexList& list_for(std::uint64_t k) {
    if (k >= lists.size()) [[unlikely]] add_lists_up_to(k);
    return lists[k];
  }

 private:
  void add_lists_up_to(std::uint64_t k);
};

// Where the enumeration reads the subgraph induced by a root's out-neighbours from: the
// out-neighbour lists (cost: the out-degrees of the neighbours), or a bit matrix of the whole
// graph, made for small dense graphs (cost: neighbours x words per row). The complex is the
// same; Chosen takes the cheaper per root, the others force one (for tests).
enum class NeighbourhoodSource { Chosen, Lists, BitRows };

// Every directed simplex of dimension q .. max_dimension, enumerated in parallel over the
// vertices. max_dimension = 2^64 - 1 sets no bound.
DirectedFlagComplex build_directed_flag_complex(const Graph& graph, std::uint64_t q, std::uint64_t max_dimension,
                                                NeighbourhoodSource source = NeighbourhoodSource::Chosen);

// Joins two partial complexes; left covers the lower root vertices.
DirectedFlagComplex merge_partial_complexes(DirectedFlagComplex left, DirectedFlagComplex right);

}  // namespace tolva
