import torch
from . import _torch
