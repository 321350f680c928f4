// Classifying a frame with an ONNX network, shared by optik.model_recognize and optik1.Img:
// the input tensor, the network run through the learner-visible cv2.dnn.Net, the softmax and
// the label tables.
#pragma once

#include <pybind11/pybind11.h>

namespace zelk::model {
namespace py = pybind11;

// The network in the ONNX file `path` (a str), read through the module's
// cv2.dnn.readNetFromONNX; an unchanged file is read once per thread.
py::object load(py::handle path);

// The 1 x 3 x H x W tensor of a BGR frame: values pixel / 255, or (pixel / 255 - 0.5) / 0.5
// when `centred`; the frame resized to 224 x 224 first when `resize`. Channel order stays
// B, G, R. 8-bit three-channel frames are converted natively into float32; anything else
// goes through the NumPy steps themselves (and their errors).
py::object tensor(py::handle frame, bool resize, bool centred);

// The network's output for `tensor`, squeezed, as softmax probabilities (float32 for the
// float32 scores a network gives; other scores take NumPy's own steps).
py::object probabilities(py::handle net, py::handle tensor);

// The label of the most probable class when its probability exceeds 0.9, from the module's
// items_num (0..8), items_dir (9, 10) and items_label (11); "none" when no class is that
// probable; an empty object for a confident class outside the tables (the caller keeps its
// previous label). What is not an array of probabilities is judged by NumPy's own steps
// (np.max(pro) > 0.9, np.argmax(pro)), with their errors.
py::object label(py::handle pro);

}  // namespace zelk::model
