#ifndef TF2__EXCEPTIONS_H_
#define TF2__EXCEPTIONS_H_

#include <stdexcept>
#include <string>

namespace tf2
{

class TransformException : public std::runtime_error
{
public:
  explicit TransformException(const std::string errorDescription)
  : std::runtime_error(errorDescription)
  {
  }
};

// The two frames are in different trees.
class ConnectivityException : public TransformException
{
public:
  explicit ConnectivityException(const std::string errorDescription)
  : tf2::TransformException(errorDescription)
  {
  }
};

// A frame is unknown, or the tree contains a loop.
class LookupException : public TransformException
{
public:
  explicit LookupException(const std::string errorDescription)
  : tf2::TransformException(errorDescription)
  {
  }
};

// The requested time lies outside the cached data of a link.
class ExtrapolationException : public TransformException
{
public:
  explicit ExtrapolationException(const std::string errorDescription)
  : tf2::TransformException(errorDescription)
  {
  }
};

// A malformed argument, such as an empty frame id.
class InvalidArgumentException : public TransformException
{
public:
  explicit InvalidArgumentException(const std::string errorDescription)
  : tf2::TransformException(errorDescription)
  {
  }
};

class TimeoutException : public TransformException
{
public:
  explicit TimeoutException(const std::string errorDescription)
  : tf2::TransformException(errorDescription)
  {
  }
};

}  // namespace tf2

#endif  // TF2__EXCEPTIONS_H_
