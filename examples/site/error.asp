<%@ Language="JScript" %><%
// The error chart: what a page shows when its data could not be had.
var chart = Server.CreateObject("Quenza.QuenzaChart");
chart.Height = 3;
chart.Width = 4;
chart.ShowError("The sales figures are not available");
chart.SendChart();
%>
