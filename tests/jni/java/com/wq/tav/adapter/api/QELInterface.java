package com.wq.tav.adapter.api;

// Test version of the adapter API class: the two natives of the WebLogic
// build that carry a thread's identifier record across a Java hop.
public class QELInterface {
    public native void setValue(int type, byte[] value);
    public native byte[] getValue(int type);
}
