// Conversions between Python values and the engine's types, shared by the bindings:
// float rows and numpy arrays to a float Matrix, and loading a sentence-embedding model.
// buffer_to_matrix, IndexEmbeddingModel and EmbeddingDimension need the interpreter lock;
// load_embedding_model takes it itself; vectors_to_matrix touches no Python object.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "index_model/matrix.h"

namespace ombrix::python {

// Rows of floats to a rows x cols matrix (cols = length of the first row).
// Throws std::invalid_argument "All vectors must have the same length (row i has k
// values, expected d)." for ragged rows.
Matrix<float> vectors_to_matrix(const std::vector<std::vector<float>>& rows);

// A float32 numpy array (2-D, or 1-D when allow_1d) to a matrix in row-major order,
// whatever its strides. Throws std::runtime_error "Expected a 2D array" + (" or a 1D
// array if allowed." | "."), "Buffer size mismatch or null pointer." and, for any
// element type but float32, "Expected a float32 array.".
Matrix<float> buffer_to_matrix(const pybind11::handle& array, bool allow_1d);

// sentence_transformers.SentenceTransformer(name). Throws std::runtime_error with the
// install hint when the package is missing, "Failed to load embedding model: ..." when
// the model cannot be made.
pybind11::object load_embedding_model(const std::string& model_name);

// The model of one Python index object: loaded by its first call, then kept until the
// index object is released (loading a model costs many times what encoding one text
// does). Threads asking at once load it once: a thread waits for another one's load with
// the interpreter lock released. The model is shared by every thread that queries the
// index; its code runs with the interpreter lock held.
// REQUIRES: index_object is a live object that supports weak references.
pybind11::object IndexEmbeddingModel(const pybind11::handle& index_object,
                                     const std::string& model_name);

// The model's dimension from get_embedding_dimension, or from
// get_sentence_embedding_dimension when the model has no method of the newer name (that
// name was deprecated by sentence-transformers 6). The result is the method's, None
// included.
pybind11::object EmbeddingDimension(const pybind11::handle& model);

// Throws std::invalid_argument "Vectors must contain only finite values." when any
// component is NaN or infinite.
void RequireFiniteValues(const Matrix<float>& vectors);

}  // namespace ombrix::python
