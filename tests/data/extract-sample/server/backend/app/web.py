app = object()
