// replaced by the capture loop
