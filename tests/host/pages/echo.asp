<%@ Language="JScript" %>
<% Response.AddHeader("X-Echo", "yes"); %>query=<%= Request.QueryString("a") %> form=<%= Request.Form("b") %> method=<%= Request.ServerVariables("REQUEST_METHOD") %>
